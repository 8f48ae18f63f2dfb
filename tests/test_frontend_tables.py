"""etable and coefplot."""

import sys

import numpy as np
import pandas as pd
import pytest

import korvald


def fixed_models():
    # Deterministic data, no random generator: the expected table below was worked out from
    # statsmodels fits with explicit firm dummies (HC1, t inference) and a plain OLS (iid):
    # (1) x1 0.50470 (0.04403, p 8e-16), x2 -0.06306 (0.02598, p 0.019), R2 0.95294
    # (2) x1 0.60459 (0.08173, p 6e-10), R2 0.48544
    i = np.arange(60)
    x1, x2 = np.sin(i), np.cos(1.7 * i)
    y = 1 + 0.5 * x1 - 0.07 * x2 + 0.2 * (i % 6) + 0.3 * np.sin(3.1 * i + 0.4)
    data = pd.DataFrame({"y": y, "x1": x1, "x2": x2, "firm": i % 6})
    return [korvald.feols("y ~ x1 + x2 | firm", data, vcov="hetero"), korvald.feols("y ~ x1", data, vcov="iid")]


EXPECTED_MD = """\
|              |      (1) |      (2) |
|:-------------|---------:|---------:|
| Dep. var.    |        y |        y |
| x1           | 0.505*** | 0.605*** |
|              |  (0.044) |  (0.082) |
| x2           | -0.063** |          |
|              |  (0.026) |          |
| firm         |      Yes |       No |
| Observations |       60 |       60 |
| R2           |    0.953 |    0.485 |
| S.E. type    |   hetero |      iid |

Standard errors in parentheses. Significance: *** p<0.01, ** p<0.05, * p<0.1
"""


def test_etable_markdown_and_other_formats():
    fits = fixed_models()
    assert korvald.etable(fits, type="md") == EXPECTED_MD
    table = korvald.etable(fits)
    md_cells = [[c.strip() for c in line.strip("|").split("|")] for line in EXPECTED_MD.splitlines()[2:11]]
    assert [[label, *row] for label, row in zip(table.index, table.to_numpy().tolist())] == md_cells
    tex = korvald.etable(fits, type="tex", model_names=["FE", "Pooled"])
    assert r"-0.063$^{**}$ &  \\" in tex and r"S.E. type & hetero & iid \\" in tex and tex.count(r"\midrule") == 4
    html = korvald.etable(fits, type="html")
    assert html.count("<tr>") == 1 + len(md_cells) + 1 and "<td>Observations</td>" in html
    with pytest.raises(ValueError, match="type must be"):
        korvald.etable(fits, type="xlsx")


def test_coefplot_draws_one_interval_per_coefficient_and_model():
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    fits = fixed_models()
    fig = korvald.coefplot(fits, level=0.9, model_names=["FE", "Pooled"])
    assert isinstance(fig, Figure)
    ax = fig.axes[0]
    assert [t.get_text() for t in ax.get_yticklabels()] == ["x1", "x2"]
    assert [c.get_label() for c in ax.containers] == ["FE", "Pooled"]
    for fit, container in zip(fits, ax.containers):
        segments = container.lines[2][0].get_segments()  # the horizontal error bars
        ci = fit.confint(0.9).to_numpy()
        assert len(segments) == len(fit.coef())
        np.testing.assert_allclose([[s[0, 0], s[1, 0]] for s in segments], ci, rtol=1e-12)


def test_coefplot_without_matplotlib_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r'pip install "korvald\[plot\]"'):
        korvald.coefplot(fixed_models())
