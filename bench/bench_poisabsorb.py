"""Wall time, IRLS iterations and peak memory of poisabsorb: 2 randomly
crossed fixed effects (100,000 and 1,000 groups), 3 regressors, about 30%
zeros in the count outcome, standard errors clustered on the first fixed effect.

    python bench/bench_poisabsorb.py [N ...]     (default: 1000000 10000000)
"""

import contextlib
import io
import json
import sys

from korvald import poisabsorb

from _harness import make_two_way_panel, measure, run_sizes


def fit(data):
    with contextlib.redirect_stdout(io.StringIO()):
        res = poisabsorb(["count"], ["x1", "x2", "x3"], ["fe1", "fe2"], data, setype="cluster", clustvars=["fe1"])
    return {"irls_iterations": res.fit_history["iteration"] - 1, "zero_share": round(float((data["count"] == 0).mean()), 3),
            "beta": [round(float(b), 6) for b in res.params], "nobs": int(res.nobs)}


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--one":
        data = make_two_way_panel(int(sys.argv[2]))
        print(json.dumps(measure(fit, data)))
    else:
        run_sizes(__file__, [int(a) for a in sys.argv[1:]] or [1_000_000, 10_000_000])
