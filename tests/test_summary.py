"""The printed 80-column regression summary and its returned table (stata_style_summary)."""

import re

import numpy as np
import pandas as pd
import pytest
import scipy.stats as st
import tabulate as tabulate_pkg

from korvald.linabsorb import _linabsorb
from korvald.poisabsorb import _poisabsorb

W = 80


def pad(left, right):
    return left + " " * max(W - len(left) - len(right), 0) + right


def ralign(text):
    return " " * max(W - len(text), 0) + text


BETA = np.array([[0.5], [-1.25], [0.031]])
SE = np.array([[0.1], [0.3], [0.02]])
# correlated covariance whose diagonal matches SE, so beta' V^-1 beta differs
# clearly from the sum of squared statistics
CORR = np.array([[1.0, 0.6, -0.3], [0.6, 1.0, 0.2], [-0.3, 0.2, 1.0]])
COV = CORR * (SE @ SE.T)
NAMES = ["x1", "a_rather_long_regressor_name", "z"]


def inputs(family, k=3, df=120, **overrides):
    beta, se = BETA[:k].copy(), SE[:k].copy()
    stat = beta / se
    if family == "linear":
        p = 2 * st.t.cdf(-np.abs(stat), df)
    else:
        p = 2 * st.norm.cdf(-np.abs(stat))
    args = dict(result=None, x=NAMES[:k], beta=beta, se=se, p=p, df=df, N=12345, K=k, N_FE=57,
                setype="homoskedastic", covmat=COV[:k, :k].copy())
    args["t" if family == "linear" else "z"] = stat
    args.update(overrides)
    return args


def run(family, capsys, **kw):
    mod = _linabsorb if family == "linear" else _poisabsorb
    out = mod.stata_style_summary(**kw)
    return capsys.readouterr().out.split("\n"), out


def wald(beta, cov):
    return (beta.T @ np.linalg.inv(cov) @ beta).item()


# ----------------------------------------------------------------------------
# header block, linear


def test_linear_worked_layout_cluster_one_variable_with_root_mse(capsys):
    a = inputs("linear", k=2, df=499, setype="cluster", fixedeffects=["firm", "year"], clustvars=["firm"],
               N_cluster=[500], r_squared=0.61234, adj_r_squared=0.5, within_r_squared=0.25, root_mse=1.5,
               fe_redundancies={"firm": {"categories": 500, "redundant": 500, "num_coefs": 0},
                                "year": {"categories": 10, "redundant": 0, "num_coefs": 10}},
               cons_stats=(2.0, 0.5, 4.0, 0.0001))
    lines, _ = run("linear", capsys, **a)
    f = wald(BETA[:2], COV[:2, :2]) / 2
    expected = [
        "=" * 80,
        pad("HDFE Linear regression", "Number of obs   =   12,345"),
        pad("Absorbing 2 HDFE groups", f"F(   2,    499) =  {f:>7.2f}"),
        pad("Statistics robust to heteroskedasticity", f"Prob > F    =   {st.f.sf(f, 2, 499):.4f}"),
        ralign("R-squared     =   0.6123"),
        pad("Number of clusters (    firm) =      500", "Adj R-squared   =   0.5000"),
        pad("", "Within R-sq.  =   0.2500"),
        pad("", "Root MSE    =   1.5000"),
        ralign("(Std. err. adjusted for 500 clusters in firm)"),
        "",
    ]
    assert lines[: len(expected)] == expected
    assert all(len(line) == W for line in expected[:9])


def test_linear_cluster_one_variable_without_root_mse(capsys):
    a = inputs("linear", setype="cluster", clustvars=["firm"], N_cluster=[40], adj_r_squared=0.5,
               within_r_squared=0.25, r_squared=0.7)
    lines, _ = run("linear", capsys, **a)
    assert lines[5] == pad("Number of clusters (    firm) =       40", "Adj R-squared   =   0.5000")
    assert lines[6] == ralign("(Std. err. adjusted for 40 clusters in firm)")
    assert lines[7] == ""
    assert not any("Within R-sq." in line for line in lines)
    f = wald(BETA, COV) / 3
    assert lines[2] == pad("Absorbing 1 HDFE group", f"F(   3,     39) =  {f:>7.2f}")


@pytest.mark.parametrize("root_mse", [None, 2.25])
def test_linear_cluster_two_variables(capsys, root_mse):
    # N_cluster covers all subsets: firm, year, firm x year
    a = inputs("linear", setype="cluster", clustvars=["firm", "year"], N_cluster=[40, 12, 300],
               adj_r_squared=0.5, within_r_squared=0.25, root_mse=root_mse)
    lines, _ = run("linear", capsys, **a)
    f = wald(BETA, COV) / 3
    assert lines[2] == pad("Absorbing 1 HDFE group", f"F(   3,     11) =  {f:>7.2f}")
    assert lines[3] == pad("Statistics robust to heteroskedasticity", f"Prob > F    =   {st.f.sf(f, 3, 11):.4f}")
    rows = [pad("Number of clusters (    firm) =       40", "Adj R-squared   =   0.5000"),
            pad("Number of clusters (    year) =       12", "Within R-sq.  =   0.2500")]
    if root_mse is not None:
        rows.append(pad("", "Root MSE    =   2.2500"))
    assert lines[4: 4 + len(rows)] == rows
    assert lines[4 + len(rows)] == ralign("(Std. err. adjusted for 12 clusters in firm year)")
    assert lines[5 + len(rows)] == ""


@pytest.mark.parametrize("setype, label", [("homoskedastic", "Homoskedastic standard errors"),
                                           ("heteroskedastic", "Robust standard errors")])
@pytest.mark.parametrize("df_resid", [None, 9876])
def test_linear_header_non_cluster(capsys, setype, label, df_resid):
    a = inputs("linear", setype=setype, df_resid=df_resid, r_squared=0.9, adj_r_squared=0.8,
               within_r_squared=0.7, root_mse=0.123456, fixedeffects=["a", "b", "c"],
               clustvars=["ignored"], N_cluster=[3])
    lines, _ = run("linear", capsys, **a)
    f = wald(BETA, COV) / 3
    df2 = df_resid if df_resid is not None else 12345 - 3 - 1
    assert lines[:9] == [
        "=" * 80,
        pad("HDFE Linear regression", "Number of obs   =   12,345"),
        pad("Absorbing 3 HDFE groups", f"F(   3,{df2:>7}) =  {f:>7.2f}"),
        pad(label, f"Prob > F    =   {st.f.sf(f, 3, df2):.4f}"),
        ralign("R-squared     =   0.9000"),
        ralign("Adj R-squared   =   0.8000"),
        ralign("Within R-sq.  =   0.7000"),
        ralign("Root MSE    =   0.1235"),
        "",
    ]


def test_linear_header_optional_statistics_left_out(capsys):
    a = inputs("linear", setype="heteroskedastic", within_r_squared=0.7)
    lines, _ = run("linear", capsys, **a)
    assert lines[4] == ralign("Within R-sq.  =   0.7000")
    assert lines[5] == ""
    assert not any("R-squared" in line or "Root MSE" in line for line in lines)


def test_linear_k_zero(capsys):
    a = inputs("linear", k=0, setype="heteroskedastic", fixedeffects=[], cons_stats=(3.0, 1.0, 3.0, 0.01))
    lines, df = run("linear", capsys, **a)
    assert lines[2] == pad("Absorbing 1 HDFE group", "")
    assert len(lines[2]) == W
    assert lines[3] == "Robust standard errors"
    assert not any("F(" in line or "Prob > F" in line for line in lines)
    assert list(df.index) == ["_cons"]


def test_linear_no_label_for_other_setype(capsys):
    # an unknown type prints no label and no F test
    a = inputs("linear", setype="none")
    lines, _ = run("linear", capsys, **a)
    assert lines[2] == pad("Absorbing 1 HDFE group", "")
    assert lines[3] == ""


# ----------------------------------------------------------------------------
# header block, Poisson


def test_poisson_header_cluster(capsys):
    a = inputs("poisson", setype="cluster", clustvars=["exporter", "year"], N_cluster=[500, 10, 4000],
               deviance=123.4, log_pseudolik=-5000.25, pseudo_r2=0.3, fixedeffects=["exporter#year"])
    lines, _ = run("poisson", capsys, **a)
    w = wald(BETA, COV)
    expected = [
        "=" * 80,
        pad("HDFE PPML regression", "No. of obs    =   12,345"),
        pad("Absorbing 1 HDFE group", "Residual df   =        9"),
        ralign(f"Wald chi2( 3)  =    {w:>5.2f}"),
        pad("Deviance       =  1.23400e+02", f"Prob > chi2   =   {st.chi2.sf(w, 3):.4f}"),
        pad("Log pseudolikelihood = -5.00025e+03", "Pseudo R2     =   0.3000"),
        "Number of clusters (exporter)=      500",
        "Number of clusters (    year)=       10",
        ralign("(Std. err. adjusted for 10 clusters in exporter year)"),
        "-" * 80,
    ]
    assert lines[: len(expected)] == expected


def test_poisson_cluster_counts_use_first_position_of_each_variable(capsys):
    a = inputs("poisson", setype="cluster", clustvars=["a", "b", "a"], N_cluster=[7, 5, 9, 30, 31, 32, 33])
    lines, _ = run("poisson", capsys, **a)
    assert lines[2] == pad("Absorbing 1 HDFE group", "Residual df   =        4")
    i = lines.index("Number of clusters (       a)=        7")
    assert lines[i: i + 4] == ["Number of clusters (       a)=        7",
                               "Number of clusters (       b)=        5",
                               "Number of clusters (       a)=        7",
                               ralign("(Std. err. adjusted for 5 clusters in a b a)")]


@pytest.mark.parametrize("df_resid, right", [(12277, "Residual df   =   12,277"), (None, "")])
def test_poisson_header_heteroskedastic(capsys, df_resid, right):
    a = inputs("poisson", setype="heteroskedastic", df_resid=df_resid, deviance=0.000123456,
               log_pseudolik=-1.5, pseudo_r2=None, fixedeffects=["a", "b"])
    lines, _ = run("poisson", capsys, **a)
    w = wald(BETA, COV)
    assert lines[2] == pad("Absorbing 2 HDFE groups", right)
    assert lines[3] == ralign(f"Wald chi2( 3)  =    {w:>5.2f}")
    assert lines[4] == pad("Deviance       =  1.23456e-04", f"Prob > chi2   =   {st.chi2.sf(w, 3):.4f}")
    # pseudo R2 missing: no log pseudolikelihood line
    assert lines[5] == "-" * 80


def test_poisson_probability_without_deviance(capsys):
    a = inputs("poisson", setype="homoskedastic")
    lines, _ = run("poisson", capsys, **a)
    w = wald(BETA, COV)
    assert lines[3] == ralign(f"Wald chi2( 3)  =    {w:>5.2f}")
    assert lines[4] == ralign(f"Prob > chi2   =   {st.chi2.sf(w, 3):.4f}")
    assert lines[5] == "-" * 80


def test_poisson_k_zero(capsys):
    a = inputs("poisson", k=0, deviance=5.0, log_pseudolik=-10.0, pseudo_r2=0.0)
    lines, df = run("poisson", capsys, **a)
    assert lines[3] == pad("Deviance       =  5.00000e+00", "")
    assert len(lines[3]) == W
    assert lines[4] == pad("Log pseudolikelihood = -1.00000e+01", "Pseudo R2     =   0.0000")
    assert not any("Wald" in line or "Prob > chi2" in line for line in lines)
    assert df.shape == (0, 6)


def test_long_texts_abut_instead_of_overflowing_the_rule(capsys):
    # a huge N and a long cluster name: padded lines get no spaces when the texts do not fit
    a = inputs("linear", setype="cluster", clustvars=["a_very_long_cluster_variable_name"], N_cluster=[4],
               adj_r_squared=0.5, N=10**40)
    lines, _ = run("linear", capsys, **a)
    n_text = f"{10**40:>6,}"
    assert lines[1] == "HDFE Linear regression" + " " * (W - 22 - 20 - len(n_text)) + "Number of obs   =   " + n_text
    assert lines[4] == "Number of clusters (a_very_long_cluster_variable_name) =        4Adj R-squared   =   0.5000"


# ----------------------------------------------------------------------------
# overall test statistics


@pytest.mark.parametrize("family", ["linear", "poisson"])
@pytest.mark.parametrize("covmat", ["failing", None])
def test_overall_test_falls_back_to_sum_of_squared_statistics(capsys, family, covmat):
    # a singular matrix makes solve (linear) fail; least squares (Poisson) only
    # fails on non-finite input
    cov = None
    if covmat == "failing":
        cov = np.zeros((3, 3)) if family == "linear" else np.full((3, 3), np.nan)
    a = inputs(family, setype="heteroskedastic", covmat=cov)
    stat = BETA / SE
    lines, _ = run(family, capsys, **a)
    if family == "linear":
        f = float(np.sum(stat ** 2)) / 3
        assert lines[2].endswith(f"F(   3,  12341) =  {f:>7.2f}")
        assert lines[3].endswith(f"Prob > F    =   {st.f.sf(f, 3, 12341):.4f}")
    else:
        w = float(np.sum(stat ** 2))
        assert lines[3] == ralign(f"Wald chi2( 3)  =    {w:>5.2f}")
        assert lines[4] == ralign(f"Prob > chi2   =   {st.chi2.sf(w, 3):.4f}")


def test_poisson_wald_uses_least_squares_on_rank_deficient_covariance(capsys):
    # a rank-one covariance does not raise in lstsq: the minimum-norm solution is used
    v = np.array([[1.0], [2.0], [0.5]])
    cov = v @ v.T * 0.01
    a = inputs("poisson", setype="heteroskedastic", covmat=cov)
    lines, _ = run("poisson", capsys, **a)
    b = np.linalg.pinv(cov) @ BETA
    w = (BETA.T @ b).item()
    assert lines[3] == ralign(f"Wald chi2( 3)  =    {w:>5.2f}")


def test_linear_f_statistic_small_values(capsys):
    # p-value with four decimals distinguishes a wrong degrees-of-freedom pair
    beta = np.array([[0.05], [-0.04]])
    se = np.array([[0.03], [0.035]])
    cov = np.array([[0.0009, 0.0004], [0.0004, 0.001225]])
    stat = beta / se
    lines, _ = run("linear", capsys, result=None, x=["u", "v"], beta=beta, se=se, t=stat,
                   p=2 * st.t.cdf(-np.abs(stat), 20), df=20, N=25, K=2, N_FE=2, setype="homoskedastic",
                   covmat=cov, df_resid=21)
    f = wald(beta, cov) / 2
    assert lines[2].endswith(f"F(   2,     21) =  {f:>7.2f}")
    assert lines[3].endswith(f"Prob > F    =   {st.f.sf(f, 2, 21):.4f}")


# ----------------------------------------------------------------------------
# coefficient table and returned DataFrame


@pytest.mark.parametrize("family", ["linear", "poisson"])
@pytest.mark.parametrize("setype", ["homoskedastic", "heteroskedastic", "cluster"])
def test_returned_table(capsys, family, setype):
    df_inf = 37
    cons = (1.75, 0.25, 7.0, 1e-6)
    a = inputs(family, df=df_inf, setype=setype, cons_stats=cons)
    _, out = run(family, capsys, **a)
    crit = st.t.ppf(0.975, df_inf) if family == "linear" else st.norm.ppf(0.975)
    s = "t" if family == "linear" else "z"
    assert list(out.columns) == ["coef", "std_err", s, f"P>|{s}|", "[0.025", "0.975]"]
    assert list(out.index) == NAMES + ["_cons"]  # full names, also in the linear table
    stat = BETA / SE
    expected = np.column_stack([BETA, SE, stat, a["p"], BETA - crit * SE, BETA + crit * SE])
    expected = np.vstack([expected, [*cons, cons[0] - crit * cons[1], cons[0] + crit * cons[1]]])
    np.testing.assert_allclose(out.to_numpy(dtype=float), expected, rtol=1e-13, atol=0)


@pytest.mark.parametrize("family", ["linear", "poisson"])
def test_table_without_constant(capsys, family):
    a = inputs(family)
    lines, out = run(family, capsys, **a)
    assert list(out.index) == NAMES
    assert not any("_cons" in line for line in lines)


def _table_rows(lines):
    """Coefficient table body: the lines after the first rule of hyphens that
    follows the header block, up to the next empty line."""
    start = next(i for i, line in enumerate(lines) if i > 2 and re.fullmatch(r"-+( +-+)+", line))
    end = lines.index("", start)
    return lines[start - 2: start], lines[start + 1: end]


@pytest.mark.parametrize("family", ["linear", "poisson"])
def test_printed_rows(capsys, family):
    cons = (1.75, 0.25, 7.0, 1e-6)
    a = inputs(family, df=50, setype="cluster", cons_stats=cons)
    lines, _ = run(family, capsys, **a)
    header, rows = _table_rows(lines)
    crit = st.t.ppf(0.975, 50) if family == "linear" else st.norm.ppf(0.975)
    names = ["x1", "a_rather_long_r" if family == "linear" else "a_rather_long_regressor_name", "z"]
    assert len(rows) == 4
    for row, name, b, s, p in zip(rows, names + ["_cons"], [*BETA[:, 0], cons[0]], [*SE[:, 0], cons[1]],
                                  [*a["p"][:, 0], cons[3]]):
        cells = row.split()
        assert cells[0] == name
        assert cells[1:5] == [f"{b:.7f}", f"{s:.7f}", f"{b / s:.2f}", f"{p:.3f}"]
        assert row.endswith(f"{b - crit * s:>12.7f}  {b + crit * s:>10.7f}")
    if family == "linear":
        assert "a_rather_long_regressor_name" not in "\n".join(lines)
        assert header[0].split() == ["Robust"] and header[1].split() == [
            "Coefficient", "Std.", "Err.", "t", "P>|t|", "[95%", "conf.", "interval]"]
    else:
        assert header[0].split() == ["Robust"] and header[1].split() == [
            "Coefficient", "Std.", "Err.", "z", "P>|z|", "[95%", "conf.", "interval]"]


def test_poisson_omitted_regressor(capsys):
    beta = np.array([[0.5], [1e-12], [-3e-11]])
    se = np.array([[0.1], [5e-11], [0.2]])  # only the second one is omitted
    stat = np.divide(beta, se)
    p = 2 * st.norm.cdf(-np.abs(stat))
    lines, out = run("poisson", capsys, result=None, x=["a", "gone", "kept"], beta=beta, se=se, z=stat, p=p,
                     df=None, N=100, K=3, N_FE=5, setype="homoskedastic")
    _, rows = _table_rows(lines)
    gone = [r for r in rows if r.split()[0] == "gone"]
    assert len(gone) == 1 and "omitted" in gone[0]
    assert not re.search(r"\d", gone[0].replace("gone", ""))
    kept = [r for r in rows if r.split()[0] == "kept"]
    crit = st.norm.ppf(0.975)
    assert "omitted" not in kept[0] and kept[0].endswith(f"{-3e-11 - crit * 0.2:>12.7f}  {-3e-11 + crit * 0.2:>10.7f}")
    # the other coefficients keep their fixed-point format next to the omitted cell
    first = [r for r in rows if r.split()[0] == "a"][0]
    assert f"{0.5:12.7f}" in first and f"{-3e-11:12.7f}".strip() == kept[0].split()[1]
    # the returned table keeps the numbers
    np.testing.assert_allclose(out.loc["gone", ["coef", "std_err"]].to_numpy(float), [1e-12, 5e-11], rtol=0)


def test_linear_table_has_no_omitted_rows(capsys):
    beta = np.array([[1e-12]])
    se = np.array([[1e-12]])
    lines, _ = run("linear", capsys, result=None, x=["tiny"], beta=beta, se=se, t=beta / se, p=np.array([[0.3]]),
                   df=10, N=100, K=1, N_FE=5, setype="homoskedastic")
    assert not any("omitted" in line for line in lines)


@pytest.mark.parametrize("family", ["linear", "poisson"])
def test_tabulate_arguments(capsys, monkeypatch, family):
    mod = _linabsorb if family == "linear" else _poisabsorb
    calls = []

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return tabulate_pkg.tabulate(*args, **kwargs)

    monkeypatch.setattr(mod, "tabulate", spy)
    cons = (1.0, 0.5, 2.0, 0.05)
    a = inputs(family, k=1, setype="homoskedastic", cons_stats=cons, fixedeffects=["f"],
               fe_counts={"f": 4})
    run(family, capsys, **a)
    assert len(calls) == 2
    (rows, headers), kwargs = calls[0]
    assert kwargs == {"stralign": "right", "floatfmt": ["", "12.7f", "10.7f", "6.2f", "6.3f", ""]}
    if family == "linear":
        assert headers == ["", "\nCoefficient", "\nStd. Err.", "Std. Err.\nt", "\nP>|t|", "\n[95% conf. interval]"]
    else:
        assert headers == ["", "\nCoefficient", "Std. err.\nStd. Err.", "\nz", "\nP>|z|", "\n[95% conf. interval]"]
    crit = st.t.ppf(0.975, 120) if family == "linear" else st.norm.ppf(0.975)
    assert [r[:5] for r in rows] == [["x1", BETA[0, 0], SE[0, 0], BETA[0, 0] / SE[0, 0], a["p"][0, 0]],
                                     ["_cons", *cons]]
    assert rows[0][5] == f"{0.5 - crit * 0.1:>12.7f}  {0.5 + crit * 0.1:>10.7f}"
    (fe_rows, fe_headers), fe_kwargs = calls[1]
    assert fe_kwargs == {}
    assert fe_headers == ["", "Categories", "-  Redundant", "=  Num. Coefs", ""]
    assert fe_rows == [["f", 4, 0, 4, ""]]


# ----------------------------------------------------------------------------
# fixed-effect block


def _fe_block(lines):
    i = next(i for i, line in enumerate(lines) if "Categories" in line and "Redundant" in line)
    rows, j = {}, i + 2
    while j < len(lines) and lines[j] and not lines[j].startswith(("?", "*")):
        cells = lines[j].split()
        rows[cells[0]] = cells[1:]
        j += 1
    notes = []
    while lines[j]:
        notes.append(lines[j])
        j += 1
    return rows, notes, lines[j + 1:]


RED = {
    "firm": {"categories": 50, "redundant": 50, "num_coefs": 0},
    "year": {"categories": 10, "redundant": 0, "num_coefs": 10},
    "firm#year": {"categories": 300, "redundant": 50, "num_coefs": 250},
}
Q = "? = number of redundant parameters may be higher"
STAR = "* = FE nested within cluster; treated as redundant for DoF computation"


@pytest.mark.parametrize(
    "family, setype, clustvars, specs, red, counts, rows, notes",
    [
        # last specification with redundant levels: "?" and its footnote
        ("linear", "homoskedastic", None, ["year", "firm#year"], RED, None,
         {"year": ["10", "0", "10"], "firm#year": ["300", "50", "250", "?"]}, [Q]),
        ("poisson", "homoskedastic", None, ["year", "firm#year"], RED, None,
         {"year": ["10", "0", "10"], "firm#year": ["300", "50", "250", "?"]}, [Q]),
        # redundant levels only in an earlier specification: linear stays silent,
        # Poisson prints the footnote (but no marker on that row)
        ("linear", "heteroskedastic", None, ["firm", "year"], RED, None,
         {"firm": ["50", "50", "0"], "year": ["10", "0", "10"]}, []),
        ("poisson", "heteroskedastic", None, ["firm", "year"], RED, None,
         {"firm": ["50", "50", "0"], "year": ["10", "0", "10"]}, [Q]),
        # clustered: "*" for specifications nested in a cluster variable; the linear
        # variant never shows "?" under clustering, Poisson does
        ("linear", "cluster", ["firm"], ["year", "firm"], RED, None,
         {"year": ["10", "0", "10"], "firm": ["50", "50", "0", "*"]}, [STAR]),
        ("linear", "cluster", ["state"], ["year", "firm#year"], RED, None,
         {"year": ["10", "0", "10"], "firm#year": ["300", "50", "250"]}, [STAR]),
        ("poisson", "cluster", ["state"], ["year", "firm#year"], RED, None,
         {"year": ["10", "0", "10"], "firm#year": ["300", "50", "250", "?"]}, [Q, STAR]),
        # "*" wins over "?" on a last specification nested in a cluster variable
        ("poisson", "cluster", ["year"], ["firm", "firm#year"], RED, None,
         {"firm": ["50", "50", "0"], "firm#year": ["300", "50", "250", "*"]}, [Q, STAR]),
        # counts only: redundant equals categories under clustering, zero otherwise
        ("linear", "homoskedastic", None, ["a", "b#c"], None, {"a": 7, "b#c": 12},
         {"a": ["7", "0", "7"], "b#c": ["12", "0", "12"]}, []),
        ("linear", "cluster", ["zz"], ["a", "b#c"], {}, {"a": 7, "b#c": 12},
         {"a": ["7", "7", "0"], "b#c": ["12", "12", "0"]}, [STAR]),
        ("poisson", "cluster", ["c"], ["a", "b#c"], {}, {"a": 7, "b#c": 12},
         {"a": ["7", "7", "0"], "b#c": ["12", "12", "0", "*"]}, [STAR]),
        # a specification missing from both dicts gets no row
        ("linear", "homoskedastic", None, ["year", "nowhere", "firm#year"], RED, {"other": 3},
         {"year": ["10", "0", "10"], "firm#year": ["300", "50", "250", "?"]}, [Q]),
        ("poisson", "homoskedastic", None, ["year", "firm#year", "nowhere"], RED, {"other": 3},
         {"year": ["10", "0", "10"], "firm#year": ["300", "50", "250"]}, [Q]),
    ],
)
def test_fixed_effect_block(capsys, family, setype, clustvars, specs, red, counts, rows, notes):
    n_cluster = None if clustvars is None else [20]
    a = inputs(family, setype=setype, clustvars=clustvars, N_cluster=n_cluster, fixedeffects=specs,
               fe_redundancies=red, fe_counts=counts)
    lines, _ = run(family, capsys, **a)
    got_rows, got_notes, rest = _fe_block(lines)
    assert got_rows == rows
    assert list(got_rows) == list(rows)
    assert got_notes == notes
    assert rest == [""]  # one empty line closes the report
    # the "Absorbing" count covers every specification, listed or not
    assert lines[2].startswith(f"Absorbing {len(specs)} HDFE group")


@pytest.mark.parametrize("family", ["linear", "poisson"])
@pytest.mark.parametrize("fixedeffects", [None, []])
def test_no_fixed_effect_block(capsys, family, fixedeffects):
    a = inputs(family, fixedeffects=fixedeffects, fe_counts={"x": 3})
    lines, _ = run(family, capsys, **a)
    assert not any("Categories" in line for line in lines)
    # the table is followed by its empty line and the closing empty line
    assert lines[-3:] == ["", "", ""]
    assert lines[-4].split()[0] == "z"


# ----------------------------------------------------------------------------
# signatures and bad input


@pytest.mark.parametrize("family, max_args", [("linear", 23), ("poisson", 22)])
def test_positional_argument_counts(capsys, family, max_args):
    mod = _linabsorb if family == "linear" else _poisabsorb
    a = inputs(family)
    stat = a["t" if family == "linear" else "z"]
    required = [None, a["x"], a["beta"], a["se"], stat, a["p"], a["df"], a["N"], a["K"], a["N_FE"], a["setype"]]
    with pytest.raises(TypeError):
        mod.stata_style_summary(*required[:10])
    with pytest.raises(TypeError):
        mod.stata_style_summary(*required, *([None] * (max_args - 11 + 1)))
    # exactly max_args positional arguments work; the covariance sits at the same
    # distance from the end in both families
    extra = [None] * (max_args - 11)
    extra[-4] = a["covmat"]
    out = mod.stata_style_summary(*required, *extra)
    assert list(out.index) == NAMES
    w = wald(BETA, COV)
    text = capsys.readouterr().out
    assert (f"{w / 3:>7.2f}" if family == "linear" else f"{w:>5.2f}") in text


@pytest.mark.parametrize("family, wrong", [("linear", "z"), ("poisson", "t"), ("linear", "deviance"),
                                           ("poisson", "root_mse")])
def test_keyword_names_follow_the_family(capsys, family, wrong):
    mod = _linabsorb if family == "linear" else _poisabsorb
    a = inputs(family)
    a[wrong] = a.pop("t" if family == "linear" else "z") if wrong in ("t", "z") else 1.0
    with pytest.raises(TypeError):
        mod.stata_style_summary(**a)


@pytest.mark.parametrize("family", ["linear", "poisson"])
@pytest.mark.parametrize("cons, message", [((1.0, 2.0, 3.0), "not enough values to unpack (expected 4, got 3)"),
                                           ((1.0, 2.0, 3.0, 4.0, 5.0), "too many values to unpack (expected 4)")])
def test_cons_stats_must_have_four_entries(capsys, family, cons, message):
    a = inputs(family, cons_stats=cons)
    mod = _linabsorb if family == "linear" else _poisabsorb
    with pytest.raises(ValueError, match=re.escape(message)):
        mod.stata_style_summary(**a)


@pytest.mark.parametrize("family", ["linear", "poisson"])
def test_inputs_are_not_modified(capsys, family):
    a = inputs(family, cons_stats=(1.0, 0.5, 2.0, 0.05), fixedeffects=["firm", "year"], fe_redundancies=RED,
               setype="cluster", clustvars=["firm"], N_cluster=[9])
    saved = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in a.items()}
    saved_red = {k: dict(v) for k, v in RED.items()}
    run(family, capsys, **a)
    for k, v in saved.items():
        if isinstance(v, np.ndarray):
            np.testing.assert_array_equal(a[k], v)
    assert a["x"] == NAMES and a["clustvars"] == ["firm"] and a["N_cluster"] == [9]
    assert RED == saved_red
