"""Thread scaling of the partialling-out routine and of a whole linabsorb call
on the fixest benchmark panel ("simple" design, individual + firm + year
fixed effects, see _harness.make_fixest_panel).

The routine alone is MAP_NH_CG_accel on the columns y, x1, x2 with the
group structure the estimators build (rows sorted by individual). Runs for
the thread counts are interleaved and the minimum of the repeats is kept,
since the machine is shared; the demeaned columns must be bit-identical
for every thread count.

    PYTHONPATH=build/dev/stage python bench/bench_threads.py --n 1e7 --repeats 3
    PYTHONPATH=build/dev/stage python bench/bench_threads.py --n 1e7 --side-by-side

--side-by-side measures what the machine itself allows: the single-thread
routine alone, then two copies of it at once in two processes that share
nothing. Two cores that each keep their speed give both copies the time of
one; the slowdown is what the memory system takes back, and 2 / slowdown
bounds the speed-up that threads inside one process can reach.
"""

import argparse
import contextlib
import io
import multiprocessing
import time

import numpy as np

from _harness import make_fixest_panel
from korvald import linabsorb
from korvald.backend import demeankit, grpkit


def routine_inputs(data):
    """The routine's inputs: the columns and group pointers, rows sorted by individual."""
    fes = ["indiv", "firm", "year"]
    order = np.argsort(data["indiv"].to_numpy(), kind="stable")
    pm = grpkit.make_pointer(data[fes].to_numpy()[order])
    Z = np.ascontiguousarray(data[["y", "x1", "x2"]].to_numpy()[order])
    return Z, pm


def side_by_side_worker(n, design, repeats, start, results):
    Z, pm = routine_inputs(make_fixest_panel(n, design))
    start.wait()
    best = np.inf
    for _ in range(repeats):
        t0 = time.perf_counter()
        demeankit.MAP_NH_CG_accel(Z, None, pm, 1e-8, 0, 10_000, 0, 1)
        best = min(best, time.perf_counter() - t0)
    results.put(best)


def side_by_side(n, design, repeats):
    ctx = multiprocessing.get_context("spawn")
    times = {}
    for copies in (1, 2, 1, 2):
        start, results = ctx.Barrier(copies + 1), ctx.Queue()
        procs = [ctx.Process(target=side_by_side_worker, args=(n, design, repeats, start, results))
                 for _ in range(copies)]
        for p in procs:
            p.start()
        start.wait()
        got = [results.get() for _ in procs]
        for p in procs:
            p.join()
        times[copies] = min(times.get(copies, np.inf), max(got))
    slowdown = times[2] / times[1]
    print(f"{design} design, N={n:,}: routine nt=1 alone {times[1]:.2f} s, two copies at once {times[2]:.2f} s "
          f"(slowdown {slowdown:.2f}x; speed-up bound 2 / slowdown = {2 / slowdown:.2f}x)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=float, default=1e7)
    ap.add_argument("--design", default="simple", choices=["simple", "difficult"])
    ap.add_argument("--nt", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--skip-call", action="store_true", help="time the routine only")
    ap.add_argument("--weighted", action="store_true", help="also time the routine with observation weights")
    ap.add_argument("--side-by-side", action="store_true", help="the machine's own bound, see above")
    args = ap.parse_args()
    n = int(args.n)
    if args.side_by_side:
        side_by_side(n, args.design, args.repeats)
        return
    data = make_fixest_panel(n, args.design)
    fes = ["indiv", "firm", "year"]
    Z, pm = routine_inputs(data)
    w = np.exp(np.random.default_rng(3).normal(scale=0.5, size=n)) if args.weighted else None

    jobs = [("routine", None)] + ([("routine weighted", w)] if args.weighted else [])
    best = {}
    results = {}
    for _ in range(args.repeats):
        for nt in args.nt:
            for name, weights in jobs:
                t0 = time.perf_counter()
                out = demeankit.MAP_NH_CG_accel(Z, weights, pm, 1e-8, 0, 10_000, 0, nt)
                secs = time.perf_counter() - t0
                best[name, nt] = min(best.get((name, nt), np.inf), secs)
                ref = results.setdefault(name, out)
                if not np.array_equal(ref, out):
                    raise SystemExit(f"{name}: results differ between thread counts")
            if not args.skip_call:
                t0 = time.perf_counter()
                with contextlib.redirect_stdout(io.StringIO()):
                    res = linabsorb(["y"], ["x1", "x2"], fes, data, setype="cluster", clustvars=["indiv"], nt=nt,
                                    print_stata_style_summary=False)
                secs = time.perf_counter() - t0
                best["linabsorb", nt] = min(best.get(("linabsorb", nt), np.inf), secs)
                coef = results.setdefault("coef", np.asarray(res.params))
                if not np.array_equal(coef, np.asarray(res.params)):
                    raise SystemExit("linabsorb: coefficients differ between thread counts")
    print(f"{args.design} design, N={n:,}, 3 FE, minimum of {args.repeats} interleaved repeats")
    names = [name for name, _ in jobs] + ([] if args.skip_call else ["linabsorb"])
    for name in names:
        base = best[name, args.nt[0]]
        cells = "  ".join(f"nt={nt}: {best[name, nt]:6.2f} s ({base / best[name, nt]:.2f}x)" for nt in args.nt)
        print(f"  {name:<18} {cells}")


if __name__ == "__main__":
    main()
