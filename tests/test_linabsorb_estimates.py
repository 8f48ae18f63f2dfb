"""linabsorb estimates and inference against explicit dummy-variable least squares."""

import numpy as np
import pandas as pd
import pytest

from korvald.linabsorb import _linabsorb
from linabsorb_reference import Reference, drop_singletons, make_panel, spec_codes

X = ["x1", "x2"]
FE_SETS = {
    "two": ["firm", "year"],
    "interaction": ["firm", "region#year"],
    "three": ["firm", "year", "region#year"],
}


def fit(df, specs, x=X, **kw):
    kw.setdefault("print_stata_style_summary", False)
    kw.setdefault("eps_MAP", 1e-13)
    return _linabsorb.linabsorb(["y"], x, specs, df, **kw)


def by_label(series, labels):
    return series.loc[labels].to_numpy()


@pytest.mark.parametrize("accel", [True, False], ids=["accel", "plain"])
@pytest.mark.parametrize("specs", FE_SETS.values(), ids=FE_SETS.keys())
def test_coefficients_and_residuals_match_dummy_regression(specs, accel):
    df = make_panel(seed=1)
    sample = drop_singletons(df, specs)
    assert len(sample) < len(df)  # the panel does contain singletons
    ref = Reference(sample, "y", X, specs)
    res = fit(df, specs, accel=accel)
    np.testing.assert_allclose(np.ravel(res.params), ref.beta, rtol=1e-8)
    assert res.nobs == ref.N
    assert sorted(res.resid.index) == sorted(sample.index)
    np.testing.assert_allclose(by_label(res.resid, sample.index), ref.resid, rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(by_label(res.fittedvalues, sample.index), ref.yv - ref.resid, rtol=1e-9)
    assert res.df_model == ref.K + ref.N_FE
    assert res.msg[-1] == f"{len(df) - ref.N} observation(s) have been excluded due to missing within group variation"


def test_point_estimates_agree_with_statsmodels_dummies():
    sm = pytest.importorskip("statsmodels.api")
    df = make_panel(seed=2)
    specs = ["firm", "region#year"]
    sample = drop_singletons(df, specs)
    dums = pd.get_dummies(sample["firm"].astype(str), prefix="f", drop_first=True)
    ry = pd.get_dummies(sample["region"].astype(str) + "_" + sample["year"].astype(str), prefix="ry",
                        drop_first=True)
    exog = sm.add_constant(pd.concat([sample[X], dums, ry], axis=1).astype(float))
    ols = sm.OLS(sample["y"], exog).fit()
    res = fit(df, specs)
    np.testing.assert_allclose(np.ravel(res.params), ols.params[X].to_numpy(), rtol=1e-8)


def test_no_fixed_effects_is_ols_with_intercept():
    sm = pytest.importorskip("statsmodels.api")
    df = make_panel(seed=4)
    for setype, cov in [("homoskedastic", "nonrobust"), ("heteroskedastic", "HC1")]:
        res = fit(df, None, setype=setype)
        ols = sm.OLS(df["y"], sm.add_constant(df[X])).fit(cov_type=cov)
        np.testing.assert_allclose(res.params.to_numpy(), ols.params[X].to_numpy(), rtol=1e-9)
        np.testing.assert_allclose(res.bse.to_numpy(), ols.bse[X].to_numpy(), rtol=1e-8)
        np.testing.assert_allclose([res.cons, res.cons_se], [ols.params["const"], ols.bse["const"]], rtol=1e-8)
        assert res.df_model == 2 and res.nobs == len(df)
        np.testing.assert_allclose(res.resid.loc[df.index].to_numpy(), ols.resid.to_numpy(), atol=1e-10)


# Inference: fixed effects firm and region#year share no variable, so without
# clustering every category counts; clustering on firm makes firm redundant.
INFERENCE_CASES = [
    ("homoskedastic", None),
    ("heteroskedastic", None),
    ("cluster", ["firm"]),
    ("cluster", ["firm", "year"]),
    ("cluster", ["year", "region", "firm"]),
]


@pytest.mark.parametrize("setype,clustvars", INFERENCE_CASES,
                         ids=["homo", "hetero", "cluster1", "cluster2", "cluster3"])
def test_standard_errors_match_textbook_formulas(setype, clustvars):
    df = make_panel(seed=12, n=300)  # every clustered variance here is positive
    specs = ["firm", "region#year"]
    sample = drop_singletons(df, specs)
    res = fit(df, specs, setype=setype, clustvars=clustvars)
    G_firm = sample["firm"].nunique()
    G_ry = len(sample.groupby(["region", "year"]))
    if setype == "cluster":
        nested = {"firm": "firm" in clustvars, "ry": bool({"region", "year"} & set(clustvars))}
        tnfe = (0 if nested["firm"] else G_firm) + (0 if nested["ry"] else G_ry)
    else:
        tnfe = G_firm + G_ry
    ref = Reference(sample, "y", X, specs, setype, clustvars, total_nonredundant_fe=tnfe)

    np.testing.assert_allclose(res.params.to_numpy(), ref.beta, rtol=1e-8)
    np.testing.assert_allclose(res.covmat, ref.covmat, rtol=1e-7)
    np.testing.assert_allclose(res.bse.to_numpy(), ref.se, rtol=1e-7)
    np.testing.assert_allclose(res.tvalues.to_numpy(), ref.t, rtol=1e-7)
    np.testing.assert_allclose(res.pvalues.to_numpy(), ref.p, rtol=1e-6)
    np.testing.assert_allclose([res.cons, res.cons_se, res.cons_tvalue, res.cons_pvalue],
                               [ref.cons, ref.cons_se, ref.cons_t, ref.cons_p], rtol=1e-7)
    assert res.cov_type == setype
    assert res.df_model == 2 + G_firm + G_ry
    if setype == "cluster":
        assert res.df_resid_inference == min(ref.N_cluster) - 1
        assert res.use_t is True
        assert res.clustvars == clustvars
        assert res.df_resid == ref.N - res.df_model
    else:
        assert res.df_resid == ref.N - 2 - tnfe
        assert not hasattr(res, "df_resid_inference")


@pytest.mark.filterwarnings("ignore:divide by zero")  # a clipped direction has a zero standard error
def test_indefinite_clustered_covariance_is_repaired():
    df = make_panel(seed=5, n=300)
    specs, clustvars = ["firm", "region#year"], ["year", "region", "firm"]
    sample = drop_singletons(df, specs)
    with np.errstate(invalid="ignore"):
        ref = Reference(sample, "y", X, specs, "cluster", clustvars)
    raw = ref.covmat
    evals, evecs = np.linalg.eigh(raw)
    assert evals.min() < -1e-12  # the inclusion-exclusion sum is indefinite on this sample
    fixed = evecs @ np.diag(np.clip(evals, 0, None)) @ evecs.T
    fixed = (fixed + fixed.T) / 2
    res = fit(df, specs, setype="cluster", clustvars=clustvars)
    assert res.eigenvalue_fix is True
    np.testing.assert_allclose(res.covmat_nofix, raw, rtol=1e-7)
    np.testing.assert_allclose(res.covmat, fixed, rtol=1e-7, atol=1e-14)
    np.testing.assert_allclose(res.bse.to_numpy(), np.sqrt(np.diag(fixed)), rtol=1e-7)
    assert res.msg[-1] == "Covariance matrix not positive-semidefinite; applying Eigenvalue fix"
    # the constant's clustered variance is negative here: its statistics become NaN, not an error
    assert np.isnan(ref.cons_se)
    assert np.isfinite(res.cons) and np.isnan([res.cons_se, res.cons_tvalue, res.cons_pvalue]).all()


def test_r_squared_family_in_summary_table(capsys):
    df = make_panel(seed=6)
    specs = ["firm", "year", "region#year"]  # region#year repeats the year categories
    sample = drop_singletons(df, specs)
    tnfe = sample["firm"].nunique() + len(sample.groupby(["region", "year"]))
    ref = Reference(sample, "y", X, specs, "heteroskedastic", None, total_nonredundant_fe=tnfe)
    res = fit(df, specs, setype="heteroskedastic", print_stata_style_summary=True)
    out = capsys.readouterr().out
    np.testing.assert_allclose(res.bse.to_numpy(), ref.se, rtol=1e-7)
    assert res.df_resid == ref.N - 2 - tnfe
    rss = ref.resid @ ref.resid
    tss = np.sum((ref.yv - ref.yv.mean()) ** 2)
    d = ref.N - 2 - tnfe
    expected = {
        "R-squared     =   ": 1 - rss / tss,
        "Adj R-squared   =   ": 1 - (rss / tss) * (ref.N - 1) / d,
        "Within R-sq.  =   ": 1 - rss / (ref.yt @ ref.yt),
        "Root MSE    =   ": np.sqrt(rss / d),
    }
    for label, value in expected.items():
        assert (" " * 80 + label + format(value, ".4f"))[-80:] in out.splitlines()
    np.testing.assert_allclose(res.summary_df.loc[X, "coef"].to_numpy(), ref.beta, rtol=1e-8)


LARGE = 2 ** 53


def test_integer_ids_above_float_precision_stay_distinct():
    df = make_panel(seed=7)
    small = df.assign(firm=(df["firm"] - 3) // 7)  # consecutive codes 0, 1, 2, ...
    big = small.assign(firm=np.int64(LARGE) + small["firm"].astype(np.int64))
    # as float64 these would merge pairwise (2**53 + 1 rounds to 2**53, ...)
    assert big["firm"].astype(float).nunique() < big["firm"].nunique()
    a = fit(small, ["firm", "year"], setype="homoskedastic")
    b = fit(big, ["firm", "year"], setype="homoskedastic")
    np.testing.assert_allclose(b.params.to_numpy(), a.params.to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(b.bse.to_numpy(), a.bse.to_numpy(), rtol=1e-10)
    assert b.df_model == a.df_model and b.nobs == a.nobs
    assert "Some variables are not double, recasting" not in b.msg


NOTE = "Some variables are not double, recasting"


@pytest.mark.parametrize("change,noted", [
    (lambda d: d.assign(y=np.round(d["y"] * 100).astype(np.int64)), False),  # int y beside float x
    (lambda d: d.assign(y=np.round(d["y"] * 100).astype(np.int64),
                        x1=np.round(d["x1"] * 100).astype(np.int64),
                        x2=np.round(d["x2"] * 100).astype(np.int32)), True),  # all integer
    (lambda d: d.assign(firm="f" + d["firm"].astype(str)), True),  # text fixed effect
    (lambda d: d.assign(x2=d["x2"].astype(np.float32)), False),  # common type still float64
], ids=["int-y", "all-int", "text-fe", "float32-x"])
def test_recasting_note_and_values(change, noted, capsys):
    df = change(make_panel(seed=8))
    res = fit(df, ["firm", "year"])
    out = capsys.readouterr().out
    assert (NOTE in res.msg) is noted
    assert (NOTE in out.splitlines()) is noted
    as_float = df.assign(y=df["y"].astype(float), x1=df["x1"].astype(float), x2=df["x2"].astype(float))
    sample = drop_singletons(as_float, ["firm", "year"])
    ref = Reference(sample, "y", X, ["firm", "year"])
    np.testing.assert_allclose(np.ravel(res.params), ref.beta, rtol=1e-8)


@pytest.mark.parametrize("verb", [0, 1])
def test_collinear_regressor_is_dropped(verb, capsys):
    df = make_panel(seed=9)
    df["x3"] = df["x1"] + df["x2"]
    df["x4"] = (df["year"] - 2000) * 0.5  # constant within the year fixed effect
    res = fit(df, ["firm", "year"], x=["x1", "x2", "x3", "x4"], setype="homoskedastic", verb=verb)
    omitted = [m for m in res.msg if m.endswith("are omitted due to colliearity")]
    assert len(omitted) == 1
    assert (omitted[0] in capsys.readouterr().out.splitlines()) is (verb > 0)
    names = omitted[0][len("The variables "):-len(" are omitted due to colliearity")].split(", ")
    assert "x4" in names and len(names) == 2 and set(names) - {"x4"} <= {"x1", "x2", "x3"}
    kept = [v for v in ["x1", "x2", "x3", "x4"] if v not in names]
    assert res.model.exog_names == kept and len(res.params) == 2
    sample = drop_singletons(df, ["firm", "year"])
    ref = Reference(sample, "y", kept, ["firm", "year"])
    np.testing.assert_allclose(res.params.to_numpy(), ref.beta, rtol=1e-8)
    # the formula keeps every regressor the caller named
    assert res.formula_Stata == "linabsorb y x1 x2 x3 x4, absorb(firm year)"


def test_identical_regressors_trigger_rank_warning(capsys):
    df = make_panel(seed=10).assign(x3=lambda d: d["x1"])
    res = fit(df, ["firm"], x=["x1", "x3"])
    warning = "Least squares problem does not have full rank; parameter estimates may be misleading"
    assert warning in res.msg and warning in capsys.readouterr().out.splitlines()
    assert not any("colliearity" in m for m in res.msg)


@pytest.mark.parametrize("absorbed", [["x4"], ["x4", "x5"]])
def test_regressors_all_absorbed_leave_the_fixed_effect_model(absorbed, capsys):
    # constant within years: partialled out to zero, so nothing of X'X survives the screen
    df = make_panel(seed=12)
    df["x4"] = (df["year"] - 2000) * 0.5
    df["x5"] = (df["year"] % 2) * 1.0
    res = fit(df, ["firm", "year"], x=absorbed, setype="homoskedastic", verb=1)
    note = "The variables " + ", ".join(absorbed) + " are omitted due to colliearity"
    assert note in res.msg and note in capsys.readouterr().out.splitlines()
    assert res.model.exog_names == [] and np.shape(res.params) == (0,)
    ref = fit(df, ["firm", "year"], x=[], setype="homoskedastic")
    np.testing.assert_allclose(res.resid.to_numpy(), ref.resid.to_numpy(), atol=1e-12)
    assert res.cons == pytest.approx(ref.cons, rel=1e-12) and res.cons_se == pytest.approx(ref.cons_se, rel=1e-12)


def test_no_regressors():
    df = make_panel(seed=11)
    res = fit(df, ["firm", "year"], x=[], setype="homoskedastic")
    sample = drop_singletons(df, ["firm", "year"])
    ref = Reference(sample, "y", [], ["firm", "year"])
    assert np.shape(res.params) == (0,)
    np.testing.assert_allclose(by_label(res.resid, sample.index), ref.yt, atol=1e-9)
    assert res.cons == pytest.approx(sample["y"].mean(), rel=1e-12)
    assert res.df_model == ref.N_FE


class TestFixedEffectRecovery:
    def test_single_fixed_effect_converges_in_two_sweeps(self, capsys):
        df = make_panel(seed=12)
        res = fit(df, ["firm"], FEgen=True, verb=1)
        lines = capsys.readouterr().out.splitlines()
        assert lines.count("Recovering fixed effects...") == 1
        assert "Fixed effects converged in 2 iterations" in lines
        sample = drop_singletons(df, ["firm"])
        target = sample["y"] - sample[X] @ np.ravel(res.params)
        means = target.groupby(sample["firm"]).transform("mean")
        fe = res.fixed_effects
        np.testing.assert_allclose(by_label(fe["firm"], sample.index) + fe["_cons"], means, atol=1e-10)
        assert fe["_cons"] == pytest.approx(target.mean(), abs=1e-10)

    @pytest.mark.parametrize("specs", [["firm", "year"], ["firm", "region#year"]], ids=["two", "interaction"])
    def test_crossed_effects_reproduce_the_remainder(self, specs):
        df = make_panel(seed=13)
        df.index = pd.Index([f"obs{i}" for i in range(len(df))][::-1])
        res = fit(df, specs, FEgen=True)
        fe = res.fixed_effects
        sample = drop_singletons(df, specs)
        labels = sample.index
        ref = Reference(sample, "y", X, specs)
        target = ref.yv - ref.X @ ref.beta
        fe_part = target - ref.resid  # dummies times their least-squares coefficients
        assert list(fe) == ["_cons"] + [k for s in specs for k in (s, s + "__levels")] + [
            "__hdfe_sum__", "__hdfe_sum_python__"]
        np.testing.assert_allclose(by_label(fe["__hdfe_sum__"], labels) + fe["_cons"], fe_part, atol=1e-7)
        np.testing.assert_allclose(by_label(fe["__hdfe_sum_python__"], labels), fe_part, atol=1e-7)
        np.testing.assert_allclose(by_label(res.fe_rowsum, labels), fe_part, atol=1e-7)
        total = sum(by_label(fe[s], labels) for s in specs)
        np.testing.assert_allclose(total, by_label(fe["__hdfe_sum__"], labels), atol=1e-12)
        for i, spec in enumerate(specs):
            per_obs = fe[spec]
            assert per_obs.name == f"__hdfe{i + 1}__"
            assert per_obs.index.name == "initial_index"
            assert per_obs.index.equals(res.resid.index)
            assert per_obs.index is not res.resid.index  # renaming one output's index leaves the others alone
            assert abs(per_obs.mean()) < 1e-10
            levels = fe[spec + "__levels"]
            codes = spec_codes(sample, spec)
            assert levels.name == "fe_value" and levels.index.name == spec
            assert list(levels.index) == list(range(codes.max() + 1))
            np.testing.assert_allclose(levels.to_numpy()[codes], by_label(per_obs, labels), atol=1e-12)
        assert fe["__hdfe_sum__"].name == "__hdfe_sum__"
        assert fe["__hdfe_sum_python__"].name == "__hdfe_sum_python__"

    def test_without_fixed_effects(self):
        df = make_panel(seed=14)
        res = fit(df, None, FEgen=True, setype="homoskedastic")
        fe = res.fixed_effects
        assert list(fe) == ["_cons", "__hdfe_sum__", "__hdfe_sum_python__"]
        target = df["y"] - df[X] @ res.params.to_numpy()
        assert fe["_cons"] == pytest.approx(target.mean(), rel=1e-10)
        assert fe["_cons"] == pytest.approx(res.cons, rel=1e-9)
        for key in ["__hdfe_sum__", "__hdfe_sum_python__"]:
            assert fe[key].name == key and fe[key].index.equals(res.resid.index)
            assert (fe[key] == 0).all()
        np.testing.assert_allclose(res.fe_rowsum.loc[df.index], np.full(len(df), target.mean()), atol=1e-9)

    @pytest.mark.parametrize("flag,recovered", [(True, True), (1, True), (2, False), ("yes", False), (False, False)])
    def test_flag_compared_with_true(self, flag, recovered):
        res = fit(make_panel(seed=15), ["firm"], FEgen=flag)
        assert hasattr(res, "fixed_effects") is recovered
        assert hasattr(res, "fe_rowsum") is recovered


def _peer_panel(n=20000, seed=3):
    """Larger panel for the peer comparison: 2000 firms, a region x year
    interaction, 40 singleton firms and heteroskedastic errors."""
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, 2000, n)
    firm[:40] = 5000 + np.arange(40)
    region, year = rng.integers(0, 12, n), rng.integers(0, 15, n)
    a_firm, a_ry = rng.normal(size=firm.max() + 1), rng.normal(size=(12, 15))
    x1 = rng.normal(size=n) + 0.5 * a_firm[firm]
    x2 = rng.normal(size=n) + 0.1 * year
    e = rng.normal(size=n) * (1 + 0.5 * np.abs(x1))
    y = 0.7 * x1 - 0.4 * x2 + a_firm[firm] + a_ry[region, year] + e
    return pd.DataFrame(dict(y=y, x1=x1, x2=x2, firm=firm, region=region, year=year))


# Small-sample factors: pyfixest counts one level less per additional fixed
# effect in N - k (iid, HC1), so those variances differ by exactly
# (d + 1) / d with d = N - K - (sum of all levels); with k_adj=False its
# clustered CRV1 keeps only G/(G-1) (min over dimensions), as here.
@pytest.mark.parametrize("setype,clustvars,vcov,k_adj", [
    ("homoskedastic", None, "iid", True),
    ("heteroskedastic", None, "hetero", True),
    ("cluster", ["firm"], {"CRV1": "firm"}, False),
    ("cluster", ["firm", "year"], {"CRV1": "firm+year"}, False),
], ids=["iid", "hetero", "cluster1", "cluster2"])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # the peer's own pandas deprecations
@pytest.mark.filterwarnings("ignore:40 singleton")  # the peer reports the singletons it drops, as we do
def test_agrees_with_pyfixest(setype, clustvars, vcov, k_adj):
    pf = pytest.importorskip("pyfixest")
    df = _peer_panel()
    specs = ["firm", "region#year"]
    res = fit(df, specs, setype=setype, clustvars=clustvars)
    kw = {} if k_adj else {"ssc": pf.ssc(k_adj=False)}
    peer = pf.feols("y ~ x1 + x2 | firm + region^year", df, vcov=vcov, fixef_tol=1e-12, **kw)
    assert res.nobs == peer._N
    np.testing.assert_allclose(res.params.to_numpy(), peer.coef().to_numpy(), rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(res.resid.sort_index().to_numpy(), np.asarray(peer.resid()).ravel(), atol=1e-8)
    ratio = (res.bse.to_numpy() / peer.se().to_numpy()) ** 2
    if setype == "cluster":
        expected = 1.0
    else:
        d = res.nobs - 2 - (res.df_model - 2)
        expected = (d + 1) / d
    np.testing.assert_allclose(ratio, expected, rtol=1e-7)
