"""Cost of the two partialling-out routines.

1. A weakly connected worker-firm design (workers rarely change firm, and
   only to a neighbouring one): iterations, passes over the data and wall time
   of the plain and the CG-accelerated routine at tol 1e-8.
2. Wall time of a 2-fixed-effect, 4-column demean at 1e6 and 1e7 rows.

Run:  PYTHONPATH=build/dev/stage python bench/bench_backend_sweeps.py [--skip-large] [--nt 2]
"""

import argparse
import time

import numpy as np

from korvald.backend import demeankit, grpkit


def worker_firm(n_workers, n_firms, periods, mobility, seed=0):
    rng = np.random.default_rng(seed)
    home = rng.integers(0, n_firms, n_workers)
    dest = (home + rng.integers(1, 4, n_workers)) % n_firms
    moves = rng.random(n_workers) < mobility
    worker = np.repeat(np.arange(n_workers), periods)
    t = np.tile(np.arange(periods), n_workers)
    cut = rng.integers(1, periods, n_workers)
    firm = np.where(moves[worker] & (t >= cut[worker]), dest[worker], home[worker])
    firm = np.unique(firm, return_inverse=True)[1].astype(np.int64)
    return worker.astype(np.int64), firm, rng


def timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return out, time.perf_counter() - t0


def hard_design(nt, max_plain):
    worker, firm, rng = worker_firm(100_000, 10_000, 10, 0.05)
    n = len(worker)
    print(f"worker-firm design: N={n:,}, workers={worker.max() + 1:,}, firms={firm.max() + 1:,}, "
          f"movers' share 5%, tol 1e-8, nt={nt}")
    pm, t_ptr = timed(grpkit.make_pointer, np.column_stack([worker, firm]))
    print(f"  make_pointer: {t_ptr:.2f} s")
    Z = np.column_stack([rng.normal(size=n) + np.sin(firm) + 1e-4 * worker, rng.normal(size=n)])
    for accel, cap in ((True, 100_000), (False, max_plain)):
        (res, iters, passes, conv, solver), secs = timed(demeankit._demean_stats, Z, None, pm, 1e-8, 0, cap, accel, nt)
        name = "MAP_NH_CG_accel" if accel else "MAP_NH_noaccel "
        print(f"  {name}: iterations {iters}, passes {passes}, converged {conv}, solver {solver}, wall {secs:.2f} s"
              + ("" if all(conv) else f"  (capped at maxsubiter={cap})"))
    w = np.exp(rng.normal(scale=0.5, size=n))
    (res, iters, passes, conv, solver), secs = timed(demeankit._demean_stats, Z, w, pm, 1e-8, 0, 100_000, True, nt)
    print(f"  MAP_NH_CG_accel weighted: iterations {iters}, passes {passes}, converged {conv}, solver {solver}, "
          f"wall {secs:.2f} s")
    # A third, small fixed effect (the period) takes the general path.
    period = np.tile(np.arange(10), 100_000)
    pm3 = grpkit.make_pointer(np.column_stack([worker, firm, period]))
    for accel, cap in ((True, 100_000), (False, max_plain // 10)):
        (res, iters, passes, conv, solver), secs = timed(demeankit._demean_stats, Z, None, pm3, 1e-8, 0, cap, accel, nt)
        name = "MAP_NH_CG_accel" if accel else "MAP_NH_noaccel "
        print(f"  + period FE, {name}: iterations {iters}, passes {passes}, converged {conv}, solver {solver}, "
              f"wall {secs:.2f} s"
              + ("" if all(conv) else f"  (capped at maxsubiter={cap})"))


def plain_demean(n, nt):
    rng = np.random.default_rng(7)
    g1 = rng.integers(0, n // 10, n)        # ~10 observations per group
    g2 = rng.integers(0, 1000, n)
    order = np.argsort(g1, kind="stable")  # the estimators sort by the finest fixed effect
    fe = np.column_stack([g1[order], g2[order]])
    pm, t_ptr = timed(grpkit.make_pointer, fe)
    Z = rng.normal(size=(n, 4))
    Z[:, 0] += 0.01 * fe[:, 0]
    for name, fn in (("MAP_NH_CG_accel", demeankit.MAP_NH_CG_accel), ("MAP_NH_noaccel", demeankit.MAP_NH_noaccel)):
        _, secs = timed(fn, Z, None, pm, 1e-8, 0, 10_000, 0, nt)
        stats = demeankit._demean_stats(Z[:, :1], None, pm, 1e-8, 0, 10_000, "CG" in name, nt)
        print(f"  N={n:>12,}  2 FE, 4 columns  {name:<16} {secs:7.2f} s  "
              f"(column 0: {stats[1][0]} iterations, {stats[2][0]} passes)  make_pointer {t_ptr:.2f} s")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nt", type=int, default=2)
    ap.add_argument("--skip-large", action="store_true")
    ap.add_argument("--max-plain", type=int, default=5_000)
    args = ap.parse_args()
    hard_design(args.nt, args.max_plain)
    print("2-FE, 4-column demean (random groups):")
    plain_demean(1_000_000, args.nt)
    if not args.skip_large:
        plain_demean(10_000_000, args.nt)


if __name__ == "__main__":
    main()
