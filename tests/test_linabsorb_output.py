"""linabsorb result object, formula strings and the printed summary."""

import math

import numpy as np
import pytest
from scipy import stats

from korvald.linabsorb import _linabsorb
from linabsorb_reference import Reference, drop_singletons, make_panel

X = ["x1", "x2"]


def fit(df, specs, **kw):
    kw.setdefault("print_stata_style_summary", False)
    kw.setdefault("eps_MAP", 1e-13)
    return _linabsorb.linabsorb(["y"], X, specs, df, **kw)


def padded(left, right):
    return left + " " * (80 - len(left) - len(right)) + right


def right_aligned(text):
    return " " * (80 - len(text)) + text


@pytest.mark.parametrize("specs,setype,clustvars,formula_r,formula_stata", [
    (["firm", "region#year"], "cluster", ["firm", "year"],
     "alpaca::feglm(y ~ x1 + x2 | firm + <<interatction(region, year)>> | firm + year, family = gaussian())",
     "linabsorb y x1 x2, absorb(firm region#year) vce(cluster firm year)"),
    (["firm", "region#year"], "homo", None,
     "alpaca::feglm(y ~ x1 + x2 | firm + <<interatction(region, year)>>, family = gaussian())",
     "linabsorb y x1 x2, absorb(firm region#year)"),
    (None, "none", None,
     "alpaca::feglm(y ~ x1 + x2 | , family = gaussian())",
     "linabsorb y x1 x2, absorb()"),
    ([], "cluster", ["region"],
     "alpaca::feglm(y ~ x1 + x2 |  | region, family = gaussian())",
     "linabsorb y x1 x2, absorb() vce(cluster region)"),
], ids=["cluster", "homo", "no-fe", "no-fe-cluster"])
def test_formula_strings(specs, setype, clustvars, formula_r, formula_stata):
    res = fit(make_panel(seed=31), specs, setype=setype, clustvars=clustvars)
    assert res.formula_R == formula_r
    assert res.formula_Stata == formula_stata


@pytest.mark.parametrize("specs", [["firm", "year"], None], ids=["fe", "no-fe"])
def test_result_attributes(specs):
    df = make_panel(seed=32)
    sample = drop_singletons(df, specs or [])
    ref = Reference(sample, "y", X, specs or [])
    res = fit(df, specs, setype="homoskedastic")
    other = fit(df, specs, setype="homoskedastic")

    assert type(res.family).__qualname__ == "linabsorb.<locals>.Gaussian"
    assert type(res.family.link).__qualname__ == "linabsorb.<locals>.identity"
    assert type(res.model).__qualname__ == "linabsorb.<locals>.GLM"
    assert type(res.model) is not type(other.model)  # fresh classes per call
    assert res.model.endog_names == "y" and res.model.exog_names == X
    assert (res.family_name, res.family_link, res.method) == ("Gaussian", "identity", "OLS")
    assert res.fit_history == {"iteration": 1}
    assert isinstance(res.msg, list)

    N, K, n_fe = ref.N, 2, ref.N_FE
    rss = float(ref.resid @ ref.resid)
    sigma2 = rss / N
    llf = np.sum(-0.5 * np.log(2 * np.pi * sigma2) - ref.resid ** 2 / (2 * sigma2))
    assert res.nobs == N
    assert res.df_model == (K if specs is None else K + n_fe)
    assert res.df_resid == N - K - n_fe  # homoskedastic: no overlap, every category counts
    assert res.scale == pytest.approx(sigma2, rel=1e-9)
    assert res.deviance == pytest.approx(rss, rel=1e-9)
    assert isinstance(res.pearson_chi2, float) and res.pearson_chi2 == pytest.approx(rss, rel=1e-9)
    assert res.llf == pytest.approx(llf, rel=1e-9)
    assert res.aic == pytest.approx(-2 * llf + 2 * (K + n_fe), rel=1e-9)
    assert res.bic == pytest.approx(-2 * llf + math.log(N) * (K + n_fe), rel=1e-9)
    labels = sample.index
    np.testing.assert_allclose(res.resid.loc[labels], ref.resid, atol=1e-9)
    np.testing.assert_allclose(res.fittedvalues.loc[labels], ref.yv - ref.resid, atol=1e-9)
    assert res.params.index.tolist() == [0, 1] and res.bse.index.tolist() == [0, 1]


def test_cluster_summary_layout(capsys):
    df = make_panel(seed=33, n=300)
    specs = ["firm", "year"]
    sample = drop_singletons(df, specs)
    ref = Reference(sample, "y", X, specs, "cluster", ["firm"])
    res = fit(df, specs, setype="cluster", clustvars=["firm"], print_stata_style_summary=True)
    lines = capsys.readouterr().out.splitlines()
    assert all(len(line) <= 80 for line in lines)

    G = ref.N_cluster[0]
    N, K = ref.N, 2
    rss = ref.resid @ ref.resid
    r2 = 1 - rss / np.sum((ref.yv - ref.yv.mean()) ** 2)
    d = N - K - ref.N_FE
    f_stat = ref.beta @ np.linalg.solve(ref.covmat, ref.beta) / K
    f_p = 1 - stats.f.cdf(f_stat, K, G - 1)
    expected_header = [
        "=" * 80,
        padded("HDFE Linear regression", "Number of obs   =   " + format(N, ">6,")),
        padded("Absorbing 2 HDFE groups", "F(" + format(K, ">4") + "," + format(G - 1, ">7") + ") =  "
               + format(f_stat, ">7.2f")),
        padded("Statistics robust to heteroskedasticity", "Prob > F    =   " + format(f_p, ".4f")),
        right_aligned("R-squared     =   " + format(r2, ".4f")),
        padded("Number of clusters (" + format("firm", ">8") + ") =   " + format(G, ">6"),
               "Adj R-squared   =   " + format(1 - (1 - r2) * (N - 1) / d, ".4f")),
        padded("", "Within R-sq.  =   " + format(1 - rss / (ref.yt @ ref.yt), ".4f")),
        padded("", "Root MSE    =   " + format(np.sqrt(rss / d), ".4f")),
        right_aligned(f"(Std. err. adjusted for {G} clusters in firm)"),
        "",
    ]
    assert lines[:10] == expected_header

    cons_rows = [line for line in lines if line.lstrip().startswith("_cons")]
    assert len(cons_rows) == 1 and format(ref.cons, "12.7f").strip() in cons_rows[0]
    firm_rows = [line.split() for line in lines if line.startswith("firm")]
    n_firm = sample["firm"].nunique()
    assert firm_rows == [["firm", str(n_firm), str(n_firm), "0", "*"]]
    assert "* = FE nested within cluster; treated as redundant for DoF computation" in lines
    assert lines[-1] == ""

    table = res.summary_df
    assert table.index.tolist() == X + ["_cons"]
    assert table.columns.tolist() == ["coef", "std_err", "t", "P>|t|", "[0.025", "0.975]"]
    crit = stats.t.ppf(0.975, G - 1)
    np.testing.assert_allclose(table.loc["_cons", ["coef", "std_err", "t", "P>|t|"]].astype(float),
                               [ref.cons, ref.cons_se, ref.cons_t, ref.cons_p], rtol=1e-7)
    np.testing.assert_allclose(table.loc[X, "[0.025"].astype(float), ref.beta - crit * ref.se, rtol=1e-7)


def test_homoskedastic_summary_and_diagnostics(capsys):
    df = make_panel(seed=34)
    specs = ["firm", "year"]
    sample = drop_singletons(df, specs)
    ref = Reference(sample, "y", X, specs, "homoskedastic", None)
    fit(df, specs, setype="iid", verb=1, print_stata_style_summary=True)
    lines = capsys.readouterr().out.splitlines()
    N, K = ref.N, 2
    df_resid = N - K - ref.N_FE
    f_stat = ref.beta @ np.linalg.solve(ref.covmat, ref.beta) / K
    assert padded("Absorbing 2 HDFE groups", "F(" + format(K, ">4") + "," + format(df_resid, ">7")
                  + ") =  " + format(f_stat, ">7.2f")) in lines
    assert padded("Homoskedastic standard errors",
                  "Prob > F    =   " + format(1 - stats.f.cdf(f_stat, K, df_resid), ".4f")) in lines
    assert "[Homoskedastic diagnostics]" in lines
    assert f"s2_denominator={df_resid}" in lines
    assert "F_from_t=" + format(np.sum(ref.t ** 2) / K, ".6f") + " using K=2" in lines
    assert not any(line.startswith("Number of clusters") for line in lines)


@pytest.mark.parametrize("verb", [0, 1])
def test_verbose_inference_diagnostics(capsys, verb):
    df = make_panel(seed=35, n=2600)  # N above 1,000 shows the thousands separator
    specs = ["firm", "year"]
    sample = drop_singletons(df, specs)
    ref = Reference(sample, "y", X, specs, "homoskedastic", None)
    fit(df, specs, setype="homoskedastic", verb=verb)
    lines = capsys.readouterr().out.splitlines()
    N, K = ref.N, 2
    rss = ref.resid @ ref.resid
    denominator = N - K - ref.N_FE
    assert f"{N:,}" != str(N)  # the sample is large enough to show the separator
    block = ["[Homoskedastic diagnostics]",
             f"N={N:,}, K={K}, N_FE={ref.N_FE}, total_nonredundant_fe={ref.N_FE}",
             "RSS=" + format(rss, ".6f"),
             f"s2_denominator={denominator}",
             "s2=" + format(rss / denominator, ".6f"),
             "F_from_t=" + format(np.sum(ref.t ** 2) / K, ".6f") + " using K=2"]
    if verb:
        i = lines.index(block[0])
        assert lines[i: i + len(block)] == block
    else:
        assert not set(block) & set(lines)

    fit(df, specs, setype="cluster", clustvars=["firm", "year"], verb=verb)
    lines = capsys.readouterr().out.splitlines()
    expected = ["calculating covmat 1 of 3", "calculating covmat 2 of 3", "calculating covmat 3 of 3",
                "Eigenvalue check"]
    assert [line for line in lines if line in expected] == (expected if verb else [])
