"""The summary that poisabsorb prints: the Poisson header fed with the fit's
own statistics, the fixed-effect block, and when nothing is printed."""

import re

import numpy as np
import pytest

from korvald.poisabsorb import _poisabsorb
from _poisson_ref import glm_fit, make_panel

X = ["x1", "x2", "x3"]
SPECS = ["a#b", "c"]


def padded(left, right):
    return left + " " * (80 - len(left) - len(right)) + right


@pytest.fixture(scope="module")
def panel():
    df = make_panel(n=260, seed=41)
    _, mu, _, glm = glm_fit(df, X, SPECS)
    return df, glm


def test_header_and_tables_heteroskedastic(panel, capsys):
    df, glm = panel
    res = _poisabsorb.poisabsorb(["y"], X, SPECS, df, setype="robust")
    lines = capsys.readouterr().out.splitlines()
    N, K = len(df), len(X)
    n_ab, n_c = df.groupby(["a", "b"]).ngroups, df["c"].nunique()
    top = lines.index("=" * 80)
    assert lines[top + 1] == padded("HDFE PPML regression", f"No. of obs    =   {N:>6,}")
    assert lines[top + 2] == padded("Absorbing 2 HDFE groups", f"Residual df   =   {N - K - n_ab - n_c:>6,}")
    assert re.fullmatch(r" +Wald chi2\( 3\)  =    +\d+\.\d\d", lines[top + 3]) and len(lines[top + 3]) == 80
    assert lines[top + 4].startswith(f"Deviance       =  {glm.deviance:.5e}")
    assert lines[top + 4].endswith("Prob > chi2   =   0.0000")
    pseudo_r2 = 1 - glm.llf / glm.llnull
    assert lines[top + 5] == padded(f"Log pseudolikelihood = {glm.llf:.5e}", f"Pseudo R2     =   {pseudo_r2:.4f}")
    assert lines[top + 6] == "-" * 80
    # coefficient rows and the fixed-effect block
    body = "\n".join(lines[top + 7:])
    for name in X + ["_cons"]:
        assert re.search(rf"^\s*{name}\s+-?\d+\.\d{{7}}", body, re.M), name
    assert re.search(rf"^a#b\s+{n_ab}\s+0\s+{n_ab}\s*$", body, re.M)
    assert re.search(rf"^c\s+{n_c}\s+0\s+{n_c}\s*$", body, re.M)
    # the returned table is a copy of the printed one, with the _cons row last
    table = res.summary_df
    assert list(table.index) == X + ["_cons"]
    np.testing.assert_allclose(table["coef"].to_numpy()[:K], res.params.to_numpy())
    np.testing.assert_allclose(table["std_err"].to_numpy()[:K], res.bse.to_numpy())
    assert table.loc["_cons", "coef"] == pytest.approx(res.cons)


def test_cluster_header_and_nested_marker(panel, capsys):
    df, _ = panel
    _poisabsorb.poisabsorb(["y"], X, SPECS, df, setype="cluster", clustvars=["a"])
    out = capsys.readouterr().out
    lines = out.splitlines()
    assert f"Number of clusters ({'a':>8})=   {4:>6,}" in lines
    assert "(Std. err. adjusted for 4 clusters in a)".rjust(80) in lines
    assert padded("Absorbing 2 HDFE groups", f"Residual df   =   {3:>6,}") in lines
    n_ab = df.groupby(["a", "b"]).ngroups
    assert re.search(rf"^a#b\s+{n_ab}\s+{n_ab}\s+0\s+\*\s*$", out, re.M)
    assert "* = FE nested within cluster; treated as redundant for DoF computation" in lines


@pytest.mark.parametrize("kw", [{"setype": "none"}, {"setype": "iid", "print_stata_style_summary": False}])
def test_nothing_printed(panel, capsys, kw):
    df, _ = panel
    res = _poisabsorb.poisabsorb(["y"], X, SPECS, df, **kw)
    out = capsys.readouterr().out
    assert "HDFE PPML regression" not in out and not hasattr(res, "summary_df")
    if kw.get("print_stata_style_summary") is False:
        assert out == ""
