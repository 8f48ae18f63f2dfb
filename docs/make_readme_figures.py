"""Regenerate the README's two-model table and coefficient plot.

    python docs/make_readme_figures.py        (with korvald importable, e.g. PYTHONPATH=build/dev/stage)

Fits a pooled and a fixed-effect regression on the demo panel, writes
docs/coefplot.png and replaces the table between the etable markers in
README.md.
"""

from pathlib import Path

import korvald
from korvald.demo import make_panel

ROOT = Path(__file__).resolve().parent.parent
BEGIN, END = "<!-- etable:begin -->", "<!-- etable:end -->"


def main() -> None:
    data = make_panel(3_000)
    pooled = korvald.feols("wage ~ x1 + x2", data, vcov="hetero")
    within = korvald.feols("wage ~ x1 + x2 | firm + year", data)
    names = ["pooled", "firm + year FE"]

    table = korvald.etable([pooled, within], type="md", model_names=names)
    readme = ROOT / "README.md"
    text = readme.read_text()
    head, rest = text.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    readme.write_text(f"{head}{BEGIN}\n{table}{END}{tail}")

    fig = korvald.coefplot([pooled, within], model_names=names, figsize=(6.4, 2.6))
    fig.savefig(ROOT / "docs" / "coefplot.png", dpi=100)


if __name__ == "__main__":
    main()
