"""Cost of observation weights: wall time and peak memory of linabsorb and
poisabsorb without weights, with analytic weights (uniform on [0.5, 2]) and
with frequency weights (whole numbers 1..3), on three crossed fixed effects
(100,000, 1,000 and 50 groups), 3 regressors, standard errors clustered on
the first fixed effect.

Timings on a shared machine are noisy, so the three variants run round-robin
in one process and each reports its minimum over the repeats; peak memory is
measured once per variant in a process of its own.

    python bench/bench_weights.py [N] [repeats]     (default: 3000000 4)
"""

import contextlib
import io
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

from korvald import linabsorb, poisabsorb

from _harness import make_two_way_panel, rss_mb

VARIANTS = ["none", "aweight", "fweight"]


def make_data(n):
    data = make_two_way_panel(n)
    rng = np.random.default_rng(11)
    data["fe3"] = rng.integers(0, 50, n)
    data["aw"] = rng.uniform(0.5, 2.0, n)
    data["fw"] = rng.integers(1, 4, n)
    return data


def fit(estimator, variant, data):
    kw = {} if variant == "none" else dict(weights=["aw" if variant == "aweight" else "fw"], weight_type=variant)
    fn, y = (linabsorb, "y") if estimator == "linabsorb" else (poisabsorb, "count")
    with contextlib.redirect_stdout(io.StringIO()):
        res = fn([y], ["x1", "x2", "x3"], ["fe1", "fe2", "fe3"], data, setype="cluster", clustvars=["fe1"],
                 print_stata_style_summary=False, **kw)
    return res


def timings(estimator, n, repeats):
    data = make_data(n)
    best = {v: float("inf") for v in VARIANTS}
    for _ in range(repeats):
        for variant in VARIANTS:
            start = time.perf_counter()
            fit(estimator, variant, data)
            best[variant] = min(best[variant], time.perf_counter() - start)
    return {v: round(t, 2) for v, t in best.items()}


def memory(estimator, variant, n):
    data = make_data(n)
    before = rss_mb()
    fit(estimator, variant, data)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    return {"rss_before_mb": round(before), "peak_above_data_mb": round(peak - before)}


def child(*args):
    out = subprocess.run([sys.executable, __file__, *map(str, args)], capture_output=True, text=True,
                         env={**os.environ, "PYTHONUNBUFFERED": "1"})
    lines = [ln for ln in out.stdout.splitlines() if ln.startswith("{")]
    if out.returncode != 0 or not lines:
        raise RuntimeError(out.stderr[-2000:])
    return json.loads(lines[-1])


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--time":
        print(json.dumps(timings(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))))
        sys.exit()
    if len(sys.argv) > 1 and sys.argv[1] == "--memory":
        print(json.dumps(memory(sys.argv[2], sys.argv[3], int(sys.argv[4]))))
        sys.exit()
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 3_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    for estimator in ["linabsorb", "poisabsorb"]:
        best = child("--time", estimator, n, repeats)
        for variant in VARIANTS:
            row = {"N": n, "estimator": estimator, "weights": variant, "min_wall_s": best[variant],
                   "ratio_to_unweighted": round(best[variant] / best["none"], 2),
                   **child("--memory", estimator, variant, n)}
            print(json.dumps(row), flush=True)
