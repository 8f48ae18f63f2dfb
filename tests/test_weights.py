"""Observation weights in both estimators: frequency weights against the
unweighted fit of the data with every row repeated w times, analytic weights
against statsmodels WLS / GLM with explicit dummies, scale invariance, and the
errors for bad weights."""

import re

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from korvald import linabsorb, poisabsorb
from _poisson_ref import cluster_sandwich, dummy_block, influence_rows
from _poisson_ref import make_panel as poisson_panel
from linabsorb_reference import drop_singletons
from linabsorb_reference import make_panel as linear_panel

LIN = dict(y=["y"], x=["x1", "x2"], fixedeffects=["firm", "region#year"])
POIS = dict(y=["y"], x=["x1", "x2", "x3"], fixedeffects=["a#b", "c"])
SE_CASES = {
    "homo": dict(setype="homoskedastic"),
    "hc1": dict(setype="heteroskedastic"),
    "cluster2": dict(setype="cluster", clustvars=["cl", "firm"]),
}


def linear(df, **kw):
    kw.setdefault("print_stata_style_summary", False)
    return linabsorb(data=df, eps_MAP=1e-13, **LIN, **kw)


def poisson(df, **kw):
    kw.setdefault("print_stata_style_summary", False)
    # standard errors and p-values are compared at 1e-7: converge the IRLS well beyond that
    kw.setdefault("eps_beta", 1e-12)
    return poisabsorb(data=df, **{**POIS, **kw})


def linear_data():
    # three firms with a single row: the weight decides whether they are singletons
    df = linear_panel(n=260, seed=7, singletons=3)
    rng = np.random.default_rng(7)
    df["w"] = rng.integers(1, 5, len(df)).astype(float)
    df.loc[df.index[:2], "w"] = [3.0, 2.0]
    df.loc[df.index[2], "w"] = 1.0
    df["cl"] = rng.integers(0, 14, len(df))
    return df


def poisson_data():
    df = poisson_panel(n=260, seed=8)
    rng = np.random.default_rng(8)
    df["w"] = rng.integers(1, 5, len(df)).astype(float)
    df["cl"] = rng.integers(0, 12, len(df))
    df["firm"] = df["c"]  # the shared cluster list names "firm"
    # an all-zero fixed-effect group, and zero outcomes separated by a regressor
    df.loc[df["c"] == 4, "y"] = 0.0
    sep_rows = df.index[(df["c"] != 4) & (df["y"] == 0)][:3]
    df["d"] = df.index.isin(sep_rows).astype(float)
    return df, len(sep_rows)


def repeat_rows(df):
    return df.loc[df.index.repeat(df["w"].astype(int))].reset_index(drop=True)


FIT_STATS = ["llf", "aic", "bic", "deviance", "nobs", "df_resid", "df_model"]


@pytest.mark.parametrize("se", SE_CASES.values(), ids=SE_CASES.keys())
@pytest.mark.parametrize("family", ["linear", "poisson"])
def test_fweight_equals_repeated_rows(family, se):
    if family == "linear":
        df, fit, stats = linear_data(), linear, FIT_STATS + ["scale", "pearson_chi2"]
    else:
        (df, n_sep), fit, stats = poisson_data(), poisson, FIT_STATS + ["pearson_chi2"]
    if family == "poisson":
        se = dict(se, x=POIS["x"] + ["d"])
    got = fit(df, weights=["w"], weight_type="fweight", FEgen=True, **se)
    want = fit(repeat_rows(df), FEgen=True, **se)
    rtol = 1e-10 if family == "linear" else 1e-7
    for name in ["params", "bse", "tvalues", "pvalues"]:
        np.testing.assert_allclose(getattr(got, name), getattr(want, name), rtol=rtol)
    np.testing.assert_allclose(got.covmat, want.covmat, rtol=rtol, atol=1e-14)
    for name in ["cons", "cons_se"] + stats:
        np.testing.assert_allclose(getattr(got, name), getattr(want, name), rtol=rtol, err_msg=name)
    assert got.sum_weights == got.nobs == want.nobs
    # per-row outputs: the repeated data holds every row w times
    keep = got.fittedvalues.index
    reps = df.loc[keep, "w"].astype(int).to_numpy()
    fe_got, fe_want = got.fixed_effects, want.fixed_effects
    np.testing.assert_allclose(fe_got["_cons"], fe_want["_cons"], rtol=rtol)
    spec = POIS["fixedeffects"][0] if family == "poisson" else LIN["fixedeffects"][0]
    np.testing.assert_allclose(np.repeat(fe_got[spec].to_numpy(), reps).sum(), fe_want[spec].sum(),
                               atol=1e-6)
    np.testing.assert_allclose(np.sort(np.repeat(got.fittedvalues.to_numpy(), reps)),
                               np.sort(want.fittedvalues.to_numpy()), rtol=1e-7)
    if family == "linear":
        # two of the one-row firms stand for several observations and stay
        assert got.nobs == df["w"].sum() - 1
    else:
        assert got.num_separated == n_sep


def wls_design(sample):
    firm = pd.get_dummies(sample["firm"].astype(str), prefix="f", drop_first=True)
    ry = pd.get_dummies(sample["region"].astype(str) + "_" + sample["year"].astype(str), drop_first=True)
    return sm.add_constant(pd.concat([sample[LIN["x"]], firm, ry], axis=1).astype(float))


@pytest.mark.parametrize("weight_type", ["aweight", "pweight"])
def test_linear_matches_statsmodels_wls(weight_type, capsys):
    df = linear_data()
    df["w"] = df["w"] * 0.37  # analytic weights need not be whole numbers
    sample = drop_singletons(df, LIN["fixedeffects"])
    exog = wls_design(sample)
    wls = sm.WLS(sample["y"], exog, weights=sample["w"])
    N, k = len(sample), np.linalg.matrix_rank(exog.to_numpy())
    x = LIN["x"]
    # every fixed-effect category counts in the degrees of freedom (statsmodels: the rank)
    tnfe = sample["firm"].nunique() + sample.groupby(["region", "year"]).ngroups
    dof = (N - k) / (N - len(x) - tnfe)
    cases = [("heteroskedastic", {}, wls.fit(cov_type="HC1"), dof)]
    groups = sample["cl"].to_numpy()
    G = len(np.unique(groups))
    # statsmodels adds (N-1)/(N-k) to the cluster factor G/(G-1); here only G/(G-1)
    cases.append(("cluster", dict(clustvars=["cl"]), wls.fit(cov_type="cluster", cov_kwds={"groups": groups}),
                  (N - k) / (N - 1)))
    if weight_type == "aweight":
        cases.append(("homoskedastic", {}, wls.fit(), dof))
    for setype, kw, ref, factor in cases:
        res = linear(df, setype=setype, weights=["w"], weight_type=weight_type, **kw)
        np.testing.assert_allclose(res.params, ref.params[x], rtol=1e-9)
        np.testing.assert_allclose(res.covmat, ref.cov_params().loc[x, x] * factor, rtol=1e-8)
        assert res.nobs == N
    # Gaussian log-likelihood with weights rescaled to sum to N, less the
    # sum(log w)/2 that statsmodels includes
    w_norm = sample["w"] * N / sample["w"].sum()
    ref = sm.WLS(sample["y"], exog, weights=w_norm).fit()
    res = linear(df, setype="heteroskedastic", weights=["w"], weight_type=weight_type,
                 print_stata_style_summary=True)
    np.testing.assert_allclose(res.llf, ref.llf - 0.5 * np.log(w_norm).sum(), rtol=1e-10)
    lines = capsys.readouterr().out.splitlines()
    assert f"R-squared     =   {ref.rsquared:.4f}" in lines[5]
    assert f"Root MSE    =   {np.sqrt(ref.ssr / (N - len(x) - tnfe)):.4f}" in "\n".join(lines[:12])


@pytest.mark.parametrize("kind", ["freq_weights", "var_weights"])
def test_poisson_matches_glm_and_weighted_sandwich(kind):
    df, _ = poisson_data()
    df = df[df["c"] != 4]  # the reference cannot take the separated rows
    w = df["w"].to_numpy()
    X = df[POIS["x"]].to_numpy()
    design = np.hstack([X, dummy_block(df, POIS["fixedeffects"])])
    glm = sm.GLM(df["y"].to_numpy(), design, family=sm.families.Poisson(), **{kind: w}).fit(tol=1e-13)
    K = X.shape[1]
    mu = glm.mu
    wtype = "fweight" if kind == "freq_weights" else "aweight"
    scale = 1.0 if wtype == "fweight" else len(df) / w.sum()
    infl = influence_rows(design, w * scale * mu, K)
    resid = df["y"].to_numpy() - mu
    Nd = w.sum() if wtype == "fweight" else len(df)
    # frequency weights: each row counts w times; analytic: its score is w * resid
    hetero_r = np.sqrt(w) * resid if wtype == "fweight" else w * scale * resid
    hc = Nd / (Nd - K) * (infl * hetero_r[:, None] ** 2).T @ infl
    sandwich, G = cluster_sandwich(infl, w * scale * resid, df, ["cl"])
    n_fe = df.groupby(["a", "b"]).ngroups + df["c"].nunique()
    clu = G / (G - 1) * (Nd - 1) / (Nd - K - n_fe) * sandwich
    homo = np.linalg.inv(design.T @ (design * (w * scale * mu)[:, None]))[:K, :K]
    for setype, kw, expected in [("homoskedastic", {}, homo), ("heteroskedastic", {}, hc),
                                 ("cluster", dict(clustvars=["cl"]), clu)]:
        res = poisson(df, setype=setype, weights=["w"], weight_type=wtype, **kw)
        np.testing.assert_allclose(res.params, glm.params[:K], rtol=1e-7)
        np.testing.assert_allclose(res.covmat, expected, rtol=1e-6)
    if wtype == "fweight":
        np.testing.assert_allclose(res.llf, glm.llf, rtol=1e-10)
        np.testing.assert_allclose(res.deviance, glm.deviance, rtol=1e-8)
    np.testing.assert_allclose(glm.cov_params()[:K, :K] / scale, homo, rtol=1e-6)


@pytest.mark.parametrize("family", ["linear", "poisson"])
@pytest.mark.parametrize("weight_type", ["aweight", "pweight"])
def test_scaling_the_weights_changes_nothing(family, weight_type):
    df = linear_data() if family == "linear" else poisson_data()[0]
    fit = linear if family == "linear" else poisson
    kw = dict(setype="cluster", clustvars=["cl", "firm"], weight_type=weight_type, FEgen=True)
    a = fit(df, weights=["w"], **kw)
    b = fit(df.assign(w=df["w"] * 1234.5), weights=["w"], **kw)
    for name in ["params", "bse", "cons", "cons_se", "llf", "aic", "bic", "deviance", "pearson_chi2", "nobs"]:
        np.testing.assert_allclose(getattr(a, name), getattr(b, name), rtol=1e-8, err_msg=name)
    np.testing.assert_allclose(a.fixed_effects["__hdfe_sum__"], b.fixed_effects["__hdfe_sum__"], atol=1e-8)
    assert b.sum_weights == pytest.approx(a.sum_weights * 1234.5)
    # unequal weights do change the estimates
    c = fit(df, **kw)
    assert np.max(np.abs(np.asarray(a.params) - np.asarray(c.params))) > 1e-4


@pytest.mark.parametrize("family", ["linear", "poisson"])
def test_missing_and_zero_weights_leave_the_sample(family):
    df = linear_data() if family == "linear" else poisson_data()[0]
    fit = linear if family == "linear" else poisson
    df["w"] = df["w"].astype(float)
    df.iloc[5:8, df.columns.get_loc("w")] = [np.nan, np.inf, 0.0]
    df.iloc[9:11, df.columns.get_loc("w")] = 0.0
    res = fit(df, setype="heteroskedastic", weights=["w"])
    ref = fit(df.iloc[np.r_[0:5, 8, 11:len(df)]], setype="heteroskedastic", weights=["w"])
    np.testing.assert_allclose(res.params, ref.params, rtol=1e-9)
    np.testing.assert_allclose(res.bse, ref.bse, rtol=1e-9)
    if family == "linear":
        assert "2 observation(s) have been excluded due to non-valid values" in res.msg
        assert "3 observation(s) have been excluded due to zero weight" in res.msg
    else:
        assert "2 observation(s) dropped due to missing or invalid values" in res.msg
        assert "3 observation(s) dropped due to zero weight" in res.msg
        assert res.N_dropped_zero_weight == 3


@pytest.mark.parametrize("family", ["linear", "poisson"])
def test_weights_in_summary_and_formulas(family, capsys):
    df = linear_data() if family == "linear" else poisson_data()[0]
    fit = linear if family == "linear" else poisson
    name = "sampling_weight_" * 5
    res = fit(df.rename(columns={"w": name}), setype="cluster", clustvars=["cl"], weights=[name],
              weight_type="pweight", print_stata_style_summary=True)
    lines = capsys.readouterr().out.splitlines()
    rule = lines.index("=" * 80)
    header = lines[rule + 1]
    assert len(header) == 80 and header.startswith("Weights: pweight [sampling_weight_")
    # the sum over the estimation sample (singletons and separated rows are gone)
    used = df.loc[res.fittedvalues.index, "w"].sum()
    assert used < df["w"].sum() and header.endswith(f"(sum of wgt is {used:,.0f})")
    est, y, x, fe = ("linabsorb", "y", LIN["x"], LIN["fixedeffects"]) if family == "linear" else (
        "poisabsorb", "y", POIS["x"], POIS["fixedeffects"])
    assert res.formula_Stata == f"{est} y {' '.join(x)} [pweight={name}], absorb({' '.join(fe)}) vce(cluster cl)"
    assert res.formula_R.endswith(f" | cl, weights = ~{name}, family = "
                                  + ("gaussian())" if family == "linear" else "poisson())"))
    assert res.weight_type == "pweight" and res.weight_var == name


BAD = [
    (dict(weights=["w"], weight_type="iweight"),
     'Invalid weight_type \'iweight\'; use "aweight", "fweight" or "pweight"'),
    (dict(weights=["w", "x1"]), "weights must name exactly one column, got 2: ['w', 'x1']"),
    (dict(weights=["nope"]), "Weight variable not in data: ['nope']"),
    (dict(weights=["txt"]), "Weight variable not numeric: ['txt']"),
    (dict(weights=["neg"]), "Weight variable 'neg' has negative values (1 rows); weights must be non-negative"),
    (dict(weights=["w"], weight_type="fweight", data_w=0.5),
     "Weight variable 'w' has non-integer values (260 rows); \"fweight\" weights count observations"),
    (dict(weights=["w"], weight_type="pweight", setype="homoskedastic"),
     'weight_type "pweight" needs setype "heteroskedastic" or "cluster": sampling weights do not describe'),
]


@pytest.mark.parametrize("family", ["linear", "poisson"])
@pytest.mark.parametrize("kw, message", BAD)
def test_bad_weights_are_rejected(family, kw, message):
    df = linear_data() if family == "linear" else poisson_data()[0]
    kw = dict(kw)
    df = df.assign(txt="a", neg=df["w"], w=df["w"] + kw.pop("data_w", 0.0))
    df.iloc[3, df.columns.get_loc("neg")] = -1.0
    before = df.copy()
    with pytest.raises(ValueError, match=re.escape(message)):
        (linear if family == "linear" else poisson)(df, **kw)
    pd.testing.assert_frame_equal(df, before)


def test_poisson_weight_column_cannot_be_a_regressor():
    df, _ = poisson_data()
    with pytest.raises(ValueError, match=re.escape("Weight variable(s) also listed as regressor(s): ['x1']")):
        poisson(df, weights=["x1"])


@pytest.mark.parametrize("kernel", ["drop_singletons", "sep"])
def test_backend_counts_equal_repeated_rows(kernel):
    from korvald.backend import demeankit, grpkit

    rng = np.random.default_rng(3)
    n = 400
    ids = np.column_stack([rng.integers(0, 150, n), rng.integers(0, 60, n)]).astype(np.int64)
    y = rng.poisson(0.4, n).astype(float)
    counts = rng.choice([1.0, 1.0, 2.0, 3.0], n)
    fn = getattr(demeankit, kernel)
    got = fn(y, grpkit.make_pointer(ids), np.ones(n, np.int64), counts)
    rep = np.repeat(np.arange(n), counts.astype(int))
    want = fn(y[rep], grpkit.make_pointer(ids[rep]), np.ones(len(rep), np.int64))
    assert 0 < got.sum() < n
    np.testing.assert_array_equal(np.repeat(got, counts.astype(int)), want)
    with pytest.raises(ValueError, match="counts must hold whole numbers of at least 1"):
        fn(y, grpkit.make_pointer(ids), np.ones(n, np.int64), np.where(np.arange(n) == 5, 0.5, counts))
