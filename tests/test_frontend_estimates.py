"""feols/fepois: formula fits against direct estimator calls and explicit-dummy references."""

import numpy as np
import pandas as pd
import pytest

import korvald
from korvald.linabsorb import _linabsorb
from korvald.poisabsorb import _poisabsorb

sm = pytest.importorskip("statsmodels.api")


def panel(n=400, seed=0):
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, 25, n)
    year = rng.integers(2000, 2006, n)
    g = rng.choice(["a", "b", "c"], n)
    x1 = rng.normal(size=n) + 0.3 * (firm % 5)
    x2 = rng.normal(size=n)
    z = rng.uniform(0.5, 3.0, n)
    eta = 0.4 * x1 - 0.2 * x2 + 0.3 * np.log(z) + 0.25 * (g == "b") + 0.1 * (firm % 7) + 0.05 * (year - 2000)
    return pd.DataFrame({"y": 1 + eta + rng.normal(size=n), "count": rng.poisson(np.exp(0.5 + 0.5 * eta)),
                         "x1": x1, "x2": x2, "z": z, "g": g, "firm": firm, "year": year,
                         "region": rng.integers(0, 3, n), "logexp": np.log(rng.uniform(1, 4, n)),
                         "firm_size": (firm % 4).astype(float)})


# (front end, formula, vcov, offset, direct call of the estimator with the same model)
SAME_MODEL = {
    "ols-default-cluster": (korvald.feols, "y ~ x1 + x2 | firm + year", None, None,
                            dict(y=["y"], x=["x1", "x2"], fixedeffects=["firm", "year"], setype="cluster",
                                 clustvars=["firm"])),
    "ols-interaction-hetero": (korvald.feols, "y ~ x1 + x2 | firm^year + region", "hetero", None,
                               dict(y=["y"], x=["x1", "x2"], fixedeffects=["firm#year", "region"],
                                    setype="heteroskedastic")),
    "ols-no-fe-iid": (korvald.feols, "y ~ x1 + x2", "iid", None,
                      dict(y=["y"], x=["x1", "x2"], setype="homoskedastic")),
    "ols-twoway-cluster-plain-map": (korvald.feols, "y ~ x1 + x2 | firm", {"CRV1": "firm+year"}, None,
                                     dict(y=["y"], x=["x1", "x2"], fixedeffects=["firm"], setype="cluster",
                                          clustvars=["firm", "year"], accel=False, eps_MAP=1e-12)),
    "ppml-default-cluster": (korvald.fepois, "count ~ x1 + x2 | firm + year", None, None,
                             dict(y=["count"], x=["x1", "x2"], fixedeffects=["firm", "year"], setype="cluster",
                                  clustvars=["firm"])),
    "ppml-offset-hetero": (korvald.fepois, "count ~ x1 + x2 | firm", "HC1", "logexp",
                           dict(y=["count"], x=["x1", "x2"], fixedeffects=["firm"], setype="heteroskedastic",
                                off=["logexp"], separation="fe")),
}


@pytest.mark.parametrize("case", SAME_MODEL.values(), ids=SAME_MODEL.keys())
def test_formula_fit_is_the_estimator_call(case):
    front, fml, vcov, offset, direct = case
    data = panel()
    before = data.copy()
    options = {k: direct[k] for k in ("accel", "eps_MAP", "separation") if k in direct}
    extra = {"offset": offset} if offset else {}
    fit = front(fml, data, vcov, **extra, **options)
    estimator = _linabsorb.linabsorb if front is korvald.feols else _poisabsorb.poisabsorb
    ref = estimator(data=data, print_stata_style_summary=False, **direct)
    pd.testing.assert_frame_equal(data, before)
    assert fit.coef().index.tolist() == list(ref.model.exog_names)
    assert np.array_equal(fit.coef().to_numpy(), np.ravel(ref.params))
    assert np.array_equal(fit.se().to_numpy(), np.ravel(ref.bse))
    assert np.array_equal(fit.vcov().to_numpy(), ref.covmat)
    pd.testing.assert_series_equal(fit.fitted(), ref.fittedvalues)
    assert fit.nobs == ref.nobs


def dummies(frame, column):
    return pd.get_dummies(frame[column].astype(str), prefix=column, drop_first=True).astype(float)


def test_transformations_and_categoricals_match_statsmodels_dummies():
    data = panel(seed=1)
    data.loc[data.index[[3, 50, 70]], "z"] = np.nan  # dropped by the formula, as by statsmodels below
    fit = korvald.feols("y ~ x1*x2 + np.log(z) + I(x2**2) + C(g) | firm", data, vcov="hetero")
    s = data.dropna()
    design = pd.DataFrame({"x1": s.x1, "x2": s.x2, "x1:x2": s.x1 * s.x2, "np.log(z)": np.log(s.z),
                           "I(x2 ** 2)": s.x2 ** 2, "C(g)[T.b]": (s.g == "b") * 1.0, "C(g)[T.c]": (s.g == "c") * 1.0})
    ols = sm.OLS(s.y, sm.add_constant(pd.concat([design, dummies(s, "firm")], axis=1))).fit(cov_type="HC1")
    assert sorted(fit.coefnames) == sorted(design.columns) and fit.omitted == []
    assert fit.nobs == len(s) and fit.msg[0].startswith("3 observation(s) dropped")
    names = list(design.columns)
    np.testing.assert_allclose(fit.coef()[names], ols.params[names], rtol=1e-8)
    # With one fixed effect both count N - K - G residual degrees of freedom.
    np.testing.assert_allclose(fit.se()[names], ols.bse[names], rtol=1e-8)

    pois = korvald.fepois("count ~ x1 + np.log(z) + C(g) | firm", data, vcov="iid")
    glm = sm.GLM(s["count"], sm.add_constant(pd.concat([design[["x1", "np.log(z)", "C(g)[T.b]", "C(g)[T.c]"]],
                                                        dummies(s, "firm")], axis=1)),
                 family=sm.families.Poisson()).fit(tol=1e-13)
    names = ["x1", "np.log(z)", "C(g)[T.b]", "C(g)[T.c]"]
    assert pois.nobs == len(s)
    np.testing.assert_allclose(pois.coef()[names], glm.params[names], rtol=1e-6)
    np.testing.assert_allclose(pois.se()[names], glm.bse[names], rtol=1e-5)


PREDICT = {"ols": (korvald.feols, "y ~ x1 + C(g) | firm + year", lambda y, X: sm.OLS(y, X).fit()),
           "ppml": (korvald.fepois, "count ~ x1 + C(g) | firm + year",
                    lambda y, X: sm.GLM(y, X, family=sm.families.Poisson()).fit(tol=1e-13))}


@pytest.mark.parametrize("front, fml, reference", PREDICT.values(), ids=PREDICT.keys())
@pytest.mark.parametrize("fegen", [False, True], ids=["fixef-on-request", "fixef-in-fit"])
def test_predict_matches_fitted_and_dummy_model(front, fml, reference, fegen):
    data = panel(seed=2)
    fit = front(fml, data, FEgen=fegen)
    fitted = fit.fitted()
    np.testing.assert_allclose(fit.predict(data.loc[fitted.index]), fitted, rtol=1e-7)

    s = data.loc[fitted.index]
    cols = ["x1", "g_b", "g_c"]

    def design(frame):
        base = pd.DataFrame({"x1": frame.x1, "g_b": (frame.g == "b") * 1.0, "g_c": (frame.g == "c") * 1.0})
        for fe in ("firm", "year"):
            levels = sorted(s[fe].unique())[1:]
            base = base.join(pd.DataFrame({f"{fe}_{v}": (frame[fe] == v) * 1.0 for v in levels}))
        return sm.add_constant(base, has_constant="add")

    ref = reference(s[fit.depvar], design(s))
    np.testing.assert_allclose(fit.coef(), ref.params[cols], rtol=1e-6)
    new = data.sample(6, random_state=3).assign(x1=np.linspace(-2, 2, 6))
    new.index = [f"new{i}" for i in range(6)]
    np.testing.assert_allclose(fit.predict(new), ref.predict(design(new)), rtol=1e-6)

    unseen = new.assign(firm=[999, *new.firm[1:]], x1=[*new.x1[:5], np.nan])
    pred = fit.predict(unseen)
    assert pred.index.equals(unseen.index)
    assert np.isnan(pred.iloc[0]) and np.isnan(pred.iloc[5]) and np.isfinite(pred.iloc[1:5]).all()


def test_weighted_fit_statistics_match_repeated_rows_and_wls():
    df = panel(seed=11)
    df["w"] = np.random.default_rng(5).integers(1, 4, len(df))
    repeated = df.loc[df.index.repeat(df["w"])].reset_index(drop=True)
    for fit, fml in [(korvald.feols, "y ~ x1 + x2 | firm + year"), (korvald.fepois, "count ~ x1 + x2 | firm")]:
        weighted = fit(fml, df, weights="w", weight_type="fweight", vcov="hetero")
        plain = fit(fml, repeated, vcov="hetero")
        for stat in ["r2", "r2_within", "pseudo_r2"]:
            a, b = getattr(weighted, stat), getattr(plain, stat)
            assert (a is None) == (b is None), stat
            if a is not None:
                assert a == pytest.approx(b, rel=1e-9), stat
    # analytic weights: the weighted R2 of WLS on the dummy design
    aw = korvald.feols("y ~ x1 + x2 | firm", df.assign(w=df["w"] * 0.37), weights="w")
    design = pd.get_dummies(df["firm"], prefix="f", dtype=float).assign(x1=df["x1"], x2=df["x2"])
    wls = sm.WLS(df["y"], design, weights=df["w"]).fit()
    assert aw.r2 == pytest.approx(float(wls.rsquared), rel=1e-9)
