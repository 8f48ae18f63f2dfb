"""Time and peak memory of one estimation on the "simple" worker-firm-year panel:
N rows, N/10 individuals observed in 10 years, N/230 firms drawn at random per row;
y = x1 + 0.05 x2 + effects + N(0, 1), x2 = x1**2, `count` negative binomial with mean
exp(y). The model: y (or count) on x1 and x2, individual + firm + year fixed effects,
standard errors clustered by individual. Every run is a fresh process; the peak
resident memory is reset after the data are made, so it is that of the call (the data
frame and the interpreter included).

    python bench/bench_flow.py [--model ols|ppml] [--nt 0] [--repeats 3] N
    python bench/bench_flow.py --split N      time of the partialling-out calls within the run

The ratio printed is the peak resident memory over the bytes of the model's columns
(y, x1, x2 and the three identifiers).
"""

import argparse
import contextlib
import gc
import io
import json
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd


def make_simple_panel(n_obs: int, seed: int = 11, outcome: str = "both") -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    n_indiv = -(-n_obs // 10)
    n_firm = max(1, n_obs // 230)
    indiv = np.repeat(np.arange(n_indiv), 10)[:n_obs]
    year = np.tile(np.arange(10), n_indiv)[:n_obs]
    firm = rng.integers(0, n_firm, n_obs)
    x1 = rng.normal(size=n_obs)
    x2 = x1 ** 2
    y = (x1 + 0.05 * x2 + rng.normal(size=n_indiv)[indiv] + rng.normal(size=n_firm)[firm]
         + rng.normal(size=10)[year] + rng.normal(size=n_obs))
    columns = {"x1": x1, "x2": x2, "indiv": indiv, "firm": firm, "year": year}
    if outcome in ("both", "count"):
        columns["count"] = rng.negative_binomial(1.0, 1.0 / (1.0 + np.exp(y))).astype(np.float64)
    if outcome in ("both", "y"):
        columns["y"] = y
    del y
    return pd.DataFrame(columns, copy=False)


def status_mb(field: str) -> float:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def reset_peak() -> None:
    """Start the peak (VmHWM) afresh, so data generation does not count."""
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")


def one_run(n: int, model: str, nt: int, repeats: int, split: bool) -> dict:
    from korvald import linabsorb, poisabsorb
    import importlib

    lin_mod = importlib.import_module("korvald.linabsorb._linabsorb")
    pois_mod = importlib.import_module("korvald.poisabsorb._poisabsorb")

    dep = "y" if model == "ols" else "count"
    data = make_simple_panel(n, outcome=dep)
    cols = [dep, "x1", "x2", "indiv", "firm", "year"]
    col_bytes = sum(data[c].to_numpy().nbytes for c in cols)
    est = linabsorb if model == "ols" else poisabsorb
    mod = lin_mod if model == "ols" else pois_mod
    demean_time = [0.0]
    if split:
        # Wrap the partialling-out routine the estimator looks up at call time.
        inner = mod.MAP_NH_CG_accel

        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return inner(*args, **kwargs)
            finally:
                demean_time[0] += time.perf_counter() - t0
        timed.__name__ = inner.__name__
        mod.MAP_NH_CG_accel = timed
    gc.collect()
    rss_before = status_mb("VmRSS")
    reset_peak()
    times, splits = [], []
    res = None
    for _ in range(repeats):
        res = None
        demean_time[0] = 0.0
        t0 = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            res = est([dep], ["x1", "x2"], ["indiv", "firm", "year"], data, setype="cluster",
                      clustvars=["indiv"], nt=nt, print_stata_style_summary=False)
        times.append(time.perf_counter() - t0)
        splits.append(demean_time[0])
    peak = status_mb("VmHWM")
    best = int(np.argmin(times))
    out = {"model": model, "N": n, "nt": nt, "wall_s": round(times[best], 3),
           "rss_before_mb": round(rss_before), "peak_rss_mb": round(peak),
           "column_mb": round(col_bytes / 2**20), "peak_over_columns": round(peak * 2**20 / col_bytes, 2),
           "beta": [float(b) for b in np.asarray(res.params)], "se": [float(s) for s in np.asarray(res.bse)]}
    if split:
        out["partialling_s"] = round(splits[best], 3)
        out["other_s"] = round(times[best] - splits[best], 3)
    return out


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("n", type=float)
    ap.add_argument("--model", choices=["ols", "ppml"], default="ols")
    ap.add_argument("--nt", type=int, default=0)
    ap.add_argument("--repeats", type=int, default=1)
    ap.add_argument("--split", action="store_true")
    ap.add_argument("--inproc", action="store_true", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.inproc:
        print(json.dumps(one_run(int(a.n), a.model, a.nt, a.repeats, a.split)))
    else:
        cmd = [sys.executable, __file__, str(int(a.n)), "--model", a.model, "--nt", str(a.nt), "--repeats",
               str(a.repeats), "--inproc"] + (["--split"] if a.split else [])
        out = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, "PYTHONUNBUFFERED": "1"})
        sys.stdout.write(out.stdout)
        if out.returncode != 0:
            sys.stderr.write(out.stderr[-3000:])
            sys.exit(out.returncode)
