"""Wall time and peak memory of linabsorb: 2 randomly crossed fixed effects
(100,000 and 1,000 groups), 3 regressors, standard errors clustered on the
first fixed effect.

    python bench/bench_linabsorb.py [N ...]      (default: 1000000 10000000)
"""

import contextlib
import io
import json
import sys

from korvald import linabsorb

from _harness import make_two_way_panel, measure, run_sizes


def fit(data):
    with contextlib.redirect_stdout(io.StringIO()):
        res = linabsorb(["y"], ["x1", "x2", "x3"], ["fe1", "fe2"], data, setype="cluster", clustvars=["fe1"])
    return {"beta": [round(float(b), 6) for b in res.params], "nobs": int(res.nobs)}


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--one":
        data = make_two_way_panel(int(sys.argv[2]))
        print(json.dumps(measure(fit, data)))
    else:
        run_sizes(__file__, [int(a) for a in sys.argv[1:]] or [1_000_000, 10_000_000])
