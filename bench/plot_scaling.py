"""Time against N for korvald and its peers, from the JSON that
bench_fixest_panel.py --json writes: one panel per design, OLS and PPML,
both on log scales, a dashed line for perfectly linear growth from korvald's
smallest N. Peers are drawn only where their fit converged and agrees with
korvald's.

    python bench/bench_fixest_panel.py --sizes 1e6 3e6 1e7 --rows "ols simple 3" \\
        "ols difficult 3" "ppml simple 3" "ppml difficult 3" --json times.json
    python bench/plot_scaling.py times.json docs/scaling.png
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STYLE = {"korvald": ("C0", "o"), "pyfixest MAP": ("C1", "s"), "pyfixest LSMR": ("C2", "^"),
         "linearmodels": ("C3", "v")}


def series(runs, design, model, nfe):
    """{tool: [(n, secs), ...]} of the usable runs."""
    out = {}
    for r in runs:
        if (r["design"], r["model"], r["nfe"]) != (design, model, nfe) or not (r["converged"] and r["agrees"]):
            continue
        out.setdefault(r["tool"], []).append((r["n"], r["secs"]))
    return {tool: sorted(points) for tool, points in out.items()}


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: plot_scaling.py TIMES.json OUT.png")
    with open(sys.argv[1]) as fh:
        info = json.load(fh)
    runs = info["runs"]
    nfe = max(r["nfe"] for r in runs)
    designs = [d for d in ("simple", "difficult") if any(r["design"] == d for r in runs)]
    fig, axes = plt.subplots(1, len(designs), figsize=(5.2 * len(designs), 4.0), squeeze=False, sharey=True)
    for ax, design in zip(axes[0], designs):
        for model, dash in (("ols", "-"), ("ppml", ":")):
            for tool, points in series(runs, design, model, nfe).items():
                color, marker = STYLE.get(tool, ("C7", "x"))
                ns, secs = zip(*points)
                ax.plot(ns, secs, dash, color=color, marker=marker, label=f"{tool}, {model.upper()}")
                if tool == "korvald" and len(ns) > 1:
                    ax.plot([ns[0], ns[-1]], [secs[0], secs[0] * ns[-1] / ns[0]], "--", color="0.7", lw=0.8)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("rows (N)")
        ax.set_title(f"{design} design, {nfe} fixed effects")
        ax.grid(True, which="both", lw=0.3)
        ax.legend(fontsize=7)
    axes[0][0].set_ylabel("seconds (grey: linear growth)")
    fig.suptitle(f"{info['cores']} cores, korvald nt={info['nt']}, clustered SEs", fontsize=9)
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=100)


if __name__ == "__main__":
    main()
