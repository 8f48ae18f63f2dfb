"""Shared pieces of the estimator benchmarks: data generation and a runner
that measures each size in a fresh subprocess (so peak memory is per size)."""

import json
import os
import resource
import subprocess
import sys
import time

import numpy as np
import pandas as pd


def make_two_way_panel(n_obs: int, n_fe1: int = 100_000, n_fe2: int = 1_000, seed: int = 7) -> pd.DataFrame:
    """Two randomly crossed fixed effects, three regressors, a continuous and a count outcome
    (the count has roughly 30% zeros)."""
    rng = np.random.default_rng(seed)
    fe1 = rng.integers(0, n_fe1, n_obs)
    fe2 = rng.integers(0, n_fe2, n_obs)
    a1 = rng.normal(0, 1, n_fe1)
    a2 = rng.normal(0, 0.5, n_fe2)
    x = rng.normal(size=(n_obs, 3))
    x[:, 0] += 0.3 * a1[fe1]
    index = x @ np.array([0.5, -0.3, 0.2]) + a1[fe1] + a2[fe2]
    y = index + rng.normal(size=n_obs)
    # scale the Poisson mean so that about 30% of the counts are zero
    count = rng.poisson(np.exp(0.25 * index + 0.2))
    return pd.DataFrame({"y": y, "count": count, "x1": x[:, 0], "x2": x[:, 1], "x3": x[:, 2],
                         "fe1": fe1, "fe2": fe2})


def make_fixest_panel(n_obs: int, design: str, seed: int = 11) -> pd.DataFrame:
    """The fixest benchmark panel: n_obs rows, n_obs/10 individuals observed in 10 years,
    n_obs/230 firms. "simple": every row's firm drawn at random; "difficult": rows ordered by
    individual and year and firm = row number mod number of firms, a sparse and weakly connected
    individual-firm graph. Effects and x1 standard normal, x2 = x1**2,
    y = x1 + 0.05 x2 + effects + N(0, 1); `count` is negative binomial with mean exp(y)."""
    if design not in ("simple", "difficult"):
        raise ValueError("design must be 'simple' or 'difficult'")
    rng = np.random.default_rng(seed)
    n_indiv = -(-n_obs // 10)
    n_firm = max(1, n_obs // 230)
    indiv = np.repeat(np.arange(n_indiv), 10)[:n_obs]
    year = np.tile(np.arange(10), n_indiv)[:n_obs]
    firm = rng.integers(0, n_firm, n_obs) if design == "simple" else np.arange(n_obs) % n_firm
    x1 = rng.normal(size=n_obs)
    x2 = x1 ** 2
    y = (x1 + 0.05 * x2 + rng.normal(size=n_indiv)[indiv] + rng.normal(size=n_firm)[firm]
         + rng.normal(size=10)[year] + rng.normal(size=n_obs))
    mu = np.exp(y)
    count = rng.negative_binomial(1.0, 1.0 / (1.0 + mu)).astype(np.float64)
    return pd.DataFrame({"y": y, "count": count, "x1": x1, "x2": x2, "indiv": indiv, "firm": firm,
                         "year": year})


def rss_mb() -> float:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def measure(fn, data) -> dict:
    """Run fn(data) once; wall time, the RSS before the call and the process peak RSS."""
    before = rss_mb()
    start = time.perf_counter()
    extra = fn(data) or {}
    wall = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    return {"wall_s": round(wall, 2), "rss_before_mb": round(before), "peak_rss_mb": round(peak), **extra}


def run_sizes(script: str, sizes: list[int]) -> None:
    """Re-run `script` once per size in a child process and print one JSON line per size."""
    for n in sizes:
        out = subprocess.run([sys.executable, script, "--one", str(n)], capture_output=True, text=True,
                             env={**os.environ, "PYTHONUNBUFFERED": "1"})
        lines = [ln for ln in out.stdout.splitlines() if ln.startswith("{")]
        if out.returncode != 0 or not lines:
            print(f"N={n:,}: failed\n{out.stdout[-2000:]}\n{out.stderr[-2000:]}")
            continue
        print(json.dumps({"N": n, **json.loads(lines[-1])}))
