"""korvald next to its peers on the fixest benchmark panel (see
_harness.make_fixest_panel): OLS and PPML of y (resp. count) on x1 and x2 = x1**2,
individual + firm (+ year) fixed effects, standard errors clustered by
individual, on the "simple" and the "difficult" (weakly connected) design.

Peers come from the optional `bench` extra (pip install korvald[bench]):
pyfixest with its default MAP demeaner and with its LSMR demeaner, and
linearmodels' AbsorbingLS for OLS up to --linearmodels-max rows. Every tool
runs on the same data, warmed up on a small panel first, with the repeats
interleaved (tool after tool, then again) and the minimum time kept. With
several --sizes, a model's sizes are interleaved as well, so that its growth
with N is timed over the same stretch of the machine's time. A peer's
coefficients must agree with korvald's to --agree (1e-6); a fit that
disagrees, warns about convergence or fails is marked in the table.

    python bench/bench_fixest_panel.py                       1M rows, all rows of the table
    python bench/bench_fixest_panel.py --sizes 1e6 1e7 --repeats 2
    python bench/bench_fixest_panel.py --rows "ols difficult 3" "ppml simple 3"
    python bench/bench_fixest_panel.py --memory              peak memory, each tool in a fresh process
    python bench/bench_fixest_panel.py --skip "pyfixest MAP=ppml difficult"   (MAP needs minutes there)
    python bench/bench_fixest_panel.py --sizes 1e6 3e6 1e7 --json times.json   then bench/plot_scaling.py
"""

import argparse
import contextlib
import io
import json
import os
import resource
import subprocess
import sys
import time
import warnings

import numpy as np

from _harness import make_fixest_panel, rss_mb

DEFAULT_ROWS = ["ols simple 3", "ols difficult 3", "ols simple 2", "ols difficult 2", "ppml simple 3",
                "ppml difficult 3", "ppml difficult 2"]
TOOLS = ["korvald", "pyfixest MAP", "pyfixest LSMR", "linearmodels"]
FES = ["indiv", "firm", "year"]


class Row:
    def __init__(self, spec: str, n: int):
        model, design, nfe = spec.split()
        if model not in ("ols", "ppml") or design not in ("simple", "difficult") or nfe not in ("2", "3"):
            raise SystemExit(f"bad row {spec!r}: expected '<ols|ppml> <simple|difficult> <2|3>'")
        self.model, self.design, self.nfe, self.n = model, design, int(nfe), n
        self.spec = f"{model} {design} {nfe}"  # the row whatever its size

    @property
    def fes(self):
        return FES[: self.nfe]

    def label(self):
        return f"{self.model.upper()} {self.design}, {self.nfe} FE, {self.n / 1e6:g}M"


def make_fit(tool: str, row: Row, nt: int):
    """A function of the data that fits the row's model with `tool` and returns (coefficients, converged)."""
    dep = "y" if row.model == "ols" else "count"
    if tool == "korvald":
        from korvald import linabsorb, poisabsorb
        from korvald.errors import ConvergenceWarning

        est = linabsorb if row.model == "ols" else poisabsorb

        def fit(data):
            with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(io.StringIO()):
                warnings.simplefilter("always", ConvergenceWarning)
                res = est([dep], ["x1", "x2"], row.fes, data, setype="cluster", clustvars=["indiv"], nt=nt,
                          print_stata_style_summary=False)
            # A restart of the Poisson loop warns too, but the fit it ends in has converged.
            ok = not any(issubclass(w.category, ConvergenceWarning) and "restarted from the simple start"
                         not in str(w.message) for w in caught)
            return np.asarray(res.params, dtype=float), ok
        return fit
    if tool.startswith("pyfixest"):
        import pyfixest as pf
        from pyfixest.demeaners import LsmrDemeaner, MapDemeaner

        demeaner = MapDemeaner() if tool.endswith("MAP") else LsmrDemeaner()
        formula = f"{dep} ~ x1 + x2 | " + " + ".join(row.fes)
        est = pf.feols if row.model == "ols" else pf.fepois

        def fit(data):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                res = est(formula, data=data, vcov={"CRV1": "indiv"}, demeaner=demeaner)
            # fepois says so in its result, not always with a warning.
            ok = not any("converge" in str(w.message).lower() for w in caught) and getattr(res, "convergence", True)
            return res.coef().to_numpy(dtype=float), bool(ok)
        return fit
    if tool == "linearmodels":
        from linearmodels.iv.absorbing import AbsorbingLS

        def fit(data):
            absorb = data[row.fes].astype("category")
            res = AbsorbingLS(data[dep], data[["x1", "x2"]], absorb=absorb).fit(
                cov_type="clustered", clusters=data["indiv"])
            return res.params.to_numpy(dtype=float), True
        return fit
    raise SystemExit(f"unknown tool {tool!r}")


def tools_for(row: Row, tools, lm_max: int, skip=()):
    skipped = set()
    for s in skip:  # TOOL=ROW or TOOL=ROW@N (from N rows on)
        tool, _, target = s.partition("=")
        prefix, _, from_n = target.partition("@")
        if row.spec.startswith(prefix) and row.n >= float(from_n or 0):
            skipped.add(tool)
    return [t for t in tools
            if (t != "linearmodels" or (row.model == "ols" and row.n <= lm_max)) and t not in skipped]


def timed(fit, data):
    start = time.perf_counter()
    try:
        coef, ok = fit(data)
        return time.perf_counter() - start, coef, ok, ""
    except Exception as exc:  # a peer that fails is reported, not fatal
        return time.perf_counter() - start, None, False, f"{type(exc).__name__}: {str(exc)[:60]}"


def run_rows(rows, tools_of, args):
    """The rows of one model and design at every size, with the repeats interleaved across sizes as
    well as tools (every size, tool after tool, then again): the growth from one size to the next
    is then measured over the same stretch of time, not over minutes in which the machine's speed
    may have moved. Returns {row: (best times, results)}."""
    data = {row: make_fixest_panel(row.n, row.design) for row in rows}
    small = make_fixest_panel(20_000, rows[0].design)
    fits = {}
    for row in rows:
        fits[row] = {}
        for tool in tools_of(row):
            try:
                fits[row][tool] = make_fit(tool, row, args.nt)
            except ImportError as exc:
                print(f"  {tool}: not installed ({exc.name}); pip install korvald[bench]", file=sys.stderr)
                continue
            timed(fits[row][tool], small)  # warm-up: imports, compilation, caches
    best = {row: {t: float("inf") for t in fits[row]} for row in rows}
    result = {row: {t: None for t in fits[row]} for row in rows}
    for rep in range(args.repeats):
        for row in rows:
            for tool, fit in fits[row].items():
                if rep > 0 and best[row][tool] > args.repeat_cap:
                    continue  # one run of a very slow fit is enough
                secs, coef, ok, err = timed(fit, data[row])
                best[row][tool] = min(best[row][tool], secs)
                result[row][tool] = (coef, ok, err)
                print(f"  [{row.label()}] {tool}: {secs:.2f} s"
                      f"{'' if ok else ' (' + (err or 'not converged') + ')'}", file=sys.stderr, flush=True)
    return {row: (best[row], result[row]) for row in rows}


def fmt_cell(secs, res, ref, agree):
    if res is None:
        return "—"
    coef, ok, err = res
    if coef is None:
        return f"fails ({err})"
    text = f"{secs:.2f} s"
    if not ok:
        text += ", **not converged**"
    if ref is not None:
        diff = float(np.max(np.abs(coef - ref)))
        if not diff <= agree:
            text += f", coef differ by {diff:.1e}"
    return text


def table(rows, tools, lm_max, args):
    peers = [t for t in tools if t != "korvald"]
    head = ["model, design, N", "korvald"] + peers + ["korvald / best peer"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    records = []
    # Each model and design runs at all its sizes together (run_rows); the table keeps the order asked for.
    specs = list(dict.fromkeys(row.spec for row in rows))
    runs = {}
    for spec in specs:
        same = [row for row in rows if row.spec == spec]
        print(f"running {spec} at {', '.join(f'{row.n / 1e6:g}M' for row in same)} ...", file=sys.stderr, flush=True)
        runs.update(run_rows(same, lambda row: tools_for(row, tools, lm_max, args.skip), args))
    for row in rows:
        best, result = runs[row]
        ours = result.get("korvald")
        ref = ours[0] if ours and ours[0] is not None else None
        cells = [row.label(), fmt_cell(best.get("korvald"), ours, None, args.agree)]
        peer_times = []
        for peer in peers:
            res = result.get(peer)
            cells.append(fmt_cell(best.get(peer), res, ref, args.agree))
            if res and res[0] is not None and res[1] and ref is not None and np.max(np.abs(res[0] - ref)) <= args.agree:
                peer_times.append(best[peer])
        ratio = (f"{best['korvald'] / min(peer_times):.2f}" if peer_times and ref is not None else "—")
        cells.append(ratio)
        lines.append("| " + " | ".join(cells) + " |")
        for tool, res in result.items():
            if res is not None:
                agrees = ref is not None and res[0] is not None and bool(np.max(np.abs(res[0] - ref)) <= args.agree)
                records.append({"model": row.model, "design": row.design, "nfe": row.nfe, "n": row.n, "tool": tool,
                                "secs": best[tool], "converged": bool(res[1]), "agrees": agrees, "error": res[2]})
        print(lines[-1], file=sys.stderr, flush=True)
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"cores": os.cpu_count(), "nt": args.nt, "repeats": args.repeats, "runs": records}, fh, indent=1)
    print("\nratio: korvald's time over the fastest peer whose fit converged and agrees to "
          f"{args.agree:g}; minimum of {args.repeats} interleaved repeats; nt={args.nt}")
    sizes = sorted({row.n for row in rows})
    if len(sizes) > 1:
        print(f"\nkorvald's growth from {sizes[0] / 1e6:g}M to {sizes[-1] / 1e6:g}M rows "
              f"({sizes[-1] / sizes[0]:g}x the data):")
        for spec in specs:
            ends = [runs[row][0].get("korvald") for row in rows
                    if row.spec == spec and row.n in (sizes[0], sizes[-1])]
            if len(ends) == 2 and all(t is not None and np.isfinite(t) for t in ends):
                print(f"  {spec}: {ends[0]:.2f} s -> {ends[1]:.2f} s, {ends[1] / ends[0]:.1f}x")


def child(tool, spec, n, nt):
    """One fit in this fresh process: the RSS before it and the process's peak."""
    row = Row(spec, n)
    data = make_fixest_panel(n, row.design)
    fit = make_fit(tool, row, nt)
    data_mb = float(data.memory_usage(deep=True).sum()) / 2**20
    before = rss_mb()
    secs, coef, ok, err = timed(fit, data)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps({"secs": secs, "before_mb": before, "peak_mb": peak, "data_mb": data_mb, "ok": ok,
                      "err": err}))


def memory(rows, tools, lm_max, nt, skip):
    print("| model, design, N | tool | peak RSS (MB) | peak / model columns | RSS before the call (MB) | DataFrame (MB) |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        for tool in tools_for(row, tools, lm_max, skip):
            out = subprocess.run([sys.executable, __file__, "--child", tool, row.spec, str(row.n), str(nt)],
                                 capture_output=True, text=True)
            lines = [ln for ln in out.stdout.splitlines() if ln.startswith("{")]
            if out.returncode != 0 or not lines:
                print(f"| {row.label()} | {tool} | failed: {out.stderr.strip().splitlines()[-1:]} | | | |")
                continue
            r = json.loads(lines[-1])
            note = "" if r["ok"] else f" ({r['err'] or 'not converged'})"
            # The model's columns: outcome, two regressors and the identifiers, 8 bytes each.
            model_mb = row.n * 8 * (3 + row.nfe) / 2**20
            print(f"| {row.label()} | {tool} | {r['peak_mb']:.0f}{note} | {r['peak_mb'] / model_mb:.2f} | "
                  f"{r['before_mb']:.0f} | {r['data_mb']:.0f} |", flush=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        tool, spec, n, nt = sys.argv[2:6]
        child(tool, spec, int(n), int(nt))
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", nargs="+", type=float, default=[1e6], help="numbers of rows (default 1e6)")
    ap.add_argument("--rows", nargs="+", default=DEFAULT_ROWS, help="'<ols|ppml> <simple|difficult> <2|3>' ...")
    ap.add_argument("--tools", nargs="+", default=TOOLS, help=f"subset of {TOOLS}")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--repeat-cap", type=float, default=60.0,
                    help="a fit slower than this many seconds is not repeated")
    ap.add_argument("--agree", type=float, default=1e-6, help="largest coefficient difference accepted")
    ap.add_argument("--linearmodels-max", type=float, default=1e6, help="largest N given to linearmodels")
    ap.add_argument("--nt", type=int, default=0, help="korvald's thread count (0 = all cores)")
    ap.add_argument("--skip", nargs="+", default=[], metavar="TOOL=ROW",
                    help="leave a tool out of rows starting so, e.g. 'pyfixest MAP=ppml difficult', "
                         "or only from N rows on: 'pyfixest LSMR=ppml@1e7'")
    ap.add_argument("--memory", action="store_true", help="peak memory per tool, each in a fresh process")
    ap.add_argument("--json", metavar="PATH", help="also write every timing to PATH (input of plot_scaling.py)")
    args = ap.parse_args()
    if "korvald" not in args.tools:
        args.tools = ["korvald"] + args.tools
    rows = [Row(spec, int(n)) for n in args.sizes for spec in args.rows]
    print(f"{os.cpu_count()} cores; korvald nt={args.nt}", file=sys.stderr)
    if args.memory:
        memory(rows, args.tools, int(args.linearmodels_max), args.nt, args.skip)
    else:
        table(rows, args.tools, int(args.linearmodels_max), args)


if __name__ == "__main__":
    main()
