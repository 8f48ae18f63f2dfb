"""_poisson_deviance, the IRLS progress output, and the weighted recovery of
the fixed effects (FEgen)."""

import re

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from korvald.poisabsorb import _poisabsorb
from _poisson_ref import glm_fit, make_panel

X = ["x1", "x2", "x3"]


@pytest.mark.parametrize("shape", [(50,), (50, 1)])
def test_deviance_matches_reference(shape):
    rng = np.random.default_rng(0)
    y = rng.poisson(2.0, 50).astype(float)
    mu = rng.uniform(0.5, 4.0, 50)
    expected = sm.families.Poisson().deviance(y, mu)
    got = _poisabsorb._poisson_deviance(y.reshape(shape), mu.reshape(shape))
    assert isinstance(got, float)
    assert got == pytest.approx(expected, rel=1e-12)


def test_deviance_special_cases():
    mu = np.array([0.5, 1.5, 2.0])
    assert _poisabsorb._poisson_deviance(np.zeros(3), mu) == pytest.approx(2 * mu.sum(), rel=1e-15)
    y = np.array([1.0, 2.0, 3.0])
    assert _poisabsorb._poisson_deviance(y, y) == 0.0
    for bad in (np.inf, np.nan):
        # only mu is looked at: even a y of another length gives +inf
        assert _poisabsorb._poisson_deviance(np.ones(7), np.array([1.0, bad])) == np.inf
    with pytest.raises(TypeError):
        _poisabsorb._poisson_deviance(y)


def test_progress_lines(capsys):
    df = make_panel(seed=30)
    res = _poisabsorb.poisabsorb(["y"], X, ["c"], df, verb=1, print_stata_style_summary=False, separation="off")
    lines = capsys.readouterr().out.splitlines()
    start = lines.index("Starting iteration...")
    iters = [s for s in lines[start + 1:] if re.match(r"^\d+ change ", s)]
    n_run = res.fit_history["iteration"] - 1
    assert len(iters) == n_run
    assert re.fullmatch(r"1 change inf   inner_tol 1\.0e-04   deviance \d\.\d{6}e[+-]\d\d", iters[0])
    assert f"converged in {n_run} iterations" in lines
    # the deviance printed at the start of iteration 2 is the deviance after iteration 1;
    # the last iterations run at the final inner tolerance
    assert iters[-1].split("  inner_tol ")[1].startswith("1.0e-09")
    assert lines.index(f"converged in {n_run} iterations") > lines.index(iters[-1])


def test_verb_2_prints_beta_each_iteration(capsys):
    df = make_panel(seed=31)
    with pytest.raises(Exception, match="^Did not converge$"):
        # a tolerance no change can meet: exactly three iterations run
        _poisabsorb.poisabsorb(["y"], ["x1"], ["c"], df, verb=2, print_stata_style_summary=False,
                               separation="off", maxiter=3, eps_beta=1e-300)
    lines = capsys.readouterr().out.splitlines()
    betas = [s for s in lines if re.fullmatch(r"\[\[.*\]\]", s)]
    assert len(betas) == 3 and betas[0] == "[[0.]]"
    assert [s.split(" ")[0] for s in lines if re.match(r"^\d+ change ", s)] == ["1", "2", "3"]


def distort_second_solve(monkeypatch, factor):
    """Make the weighted least squares of the second IRLS iteration overshoot by `factor`."""
    real = np.linalg.lstsq
    calls = []

    def solve(A, b, rcond=None):
        sol = real(A, b, rcond=rcond)
        calls.append(1)
        return (sol[0] * factor,) + tuple(sol[1:]) if len(calls) == 2 else sol

    monkeypatch.setattr(np.linalg, "lstsq", solve)


def test_step_halving_recovers_from_an_overshooting_step(monkeypatch, capsys):
    df = make_panel(seed=37)
    ref, _, _, _ = glm_fit(df, X, ["a#b", "c"])
    distort_second_solve(monkeypatch, 1000.0)
    res = _poisabsorb.poisabsorb(["y"], X, ["a#b", "c"], df, verb=1, print_stata_style_summary=False,
                                 separation="off")
    halved = re.findall(r"^   step-halved (\d+)x -> step_size=(\S+), ddev=(\S+)$", capsys.readouterr().out, re.M)
    assert len(halved) == 1
    k, step, ddev = int(halved[0][0]), halved[0][1], float(halved[0][2])
    assert 1 <= k < 30 and step == f"{0.5 ** k:.3e}" and ddev <= 0
    np.testing.assert_allclose(np.ravel(res.params), ref, rtol=1e-6)


def test_exhausted_step_halving_is_accepted_then_caught(monkeypatch, capsys):
    df = make_panel(seed=38)
    distort_second_solve(monkeypatch, 1e250)  # every trial overflows exp()
    with pytest.raises(ValueError, match="^missing value in mu$"):
        _poisabsorb.poisabsorb(["y"], X, ["a#b", "c"], df, verb=1, print_stata_style_summary=False,
                               separation="off")
    out = capsys.readouterr().out
    assert "   [warn] step-halving exhausted (30x); accepting step (ddev=inf)\n" \
           "   step-halved 30x -> step_size=9.313e-10, ddev=inf\n" in out


# ---- fixed-effect recovery ------------------------------------------------

def weighted_group_mean(values, groups, w):
    return pd.Series(values * w).groupby(groups).sum() / pd.Series(w).groupby(groups).sum()


def test_single_fixed_effect_recovery(capsys):
    df = make_panel(seed=33, with_offset=True)
    res = _poisabsorb.poisabsorb(["y"], X, ["c"], df, off=["lexp"], FEgen=True, verb=1,
                                 print_stata_style_summary=False, separation="off")
    out = capsys.readouterr().out
    assert re.search(r"^Weighted FE converged in 2 iterations \(max change: 0\.00e\+00\)$", out, re.M)
    fe = res.fixed_effects
    assert list(fe) == ["_cons", "c", "c__levels", "__hdfe_sum__"]
    beta, mu, design, glm = glm_fit(df, X, ["c"], offset="lexp")
    # fe_rowsum is eta - x'beta - offset, in the caller's labels
    rowsum = np.log(mu) - df[X].to_numpy() @ beta - df["lexp"].to_numpy()
    np.testing.assert_allclose(res.fe_rowsum.reindex(df.index).to_numpy(), rowsum, rtol=1e-6, atol=1e-7)
    # the effect of c has mu-weighted mean zero; the constant takes the rest
    per_obs = fe["c"].reindex(df.index).to_numpy()
    assert np.sum(per_obs * mu) / mu.sum() == pytest.approx(0.0, abs=1e-10)
    np.testing.assert_allclose(fe["_cons"] + per_obs, rowsum, rtol=1e-6, atol=1e-7)
    # levels: one per category, indexed by the group code and named after the specification
    levels = fe["c__levels"]
    assert levels.name == "fe_value" and levels.index.name == "c" and list(levels.index) == list(range(5))
    # the dummy coefficients (one per category, no separate intercept) are constant + level
    np.testing.assert_allclose(fe["_cons"] + levels.to_numpy(), glm.params[len(X):], rtol=1e-6)
    assert fe["c"].name == "__hdfe1__" and fe["__hdfe_sum__"].name == "__hdfe_sum__"
    assert res.fe_rowsum.name is None
    assert "Difference: " in out and "__hdfe1__ group-weighted mean after normalization: " in out


def test_two_fixed_effects_recovery():
    df = make_panel(seed=34)
    res = _poisabsorb.poisabsorb(["y"], X, ["a#b", "c"], df, FEgen=1, print_stata_style_summary=False)
    fe = res.fixed_effects
    beta, mu, _, _ = glm_fit(df, X, ["a#b", "c"])
    rowsum = np.log(mu) - df[X].to_numpy() @ beta
    total = fe["_cons"] + fe["__hdfe_sum__"].reindex(df.index).to_numpy()
    np.testing.assert_allclose(total, rowsum, rtol=1e-6, atol=1e-7)
    # each set of effects is centred on its mean weighted by the fit's own mu
    own_mu = res.fittedvalues.reindex(df.index).to_numpy()
    for spec, cols in (("a#b", ["a", "b"]), ("c", ["c"])):
        per_obs = fe[spec].reindex(df.index).to_numpy()
        assert np.sum(per_obs * own_mu) / own_mu.sum() == pytest.approx(0.0, abs=1e-12)
        codes = df.groupby(cols, sort=True).ngroup().to_numpy()
        levels = fe[spec + "__levels"].to_numpy()
        np.testing.assert_allclose(levels[codes], per_obs, rtol=1e-12)
    np.testing.assert_allclose(
        fe["__hdfe_sum__"].to_numpy(), fe["a#b"].to_numpy() + fe["c"].to_numpy(), rtol=1e-12, atol=1e-14)


def test_two_fixed_effects_recovery_matches_the_sweeps_written_out(capsys):
    df = make_panel(seed=39)
    res = _poisabsorb.poisabsorb(["y"], X, ["a#b", "c"], df, FEgen=True, verb=1, print_stata_style_summary=False,
                                 separation="off")
    out = capsys.readouterr().out
    order = res.fe_rowsum.index  # the estimation sample's order
    sample = df.loc[order]
    target = res.fe_rowsum.to_numpy()
    w = res.fittedvalues.reindex(order).to_numpy()
    ids = [sample.groupby(["a", "b"], sort=True).ngroup().to_numpy(), sample["c"].to_numpy()]
    # the recovery written out: start at T/F, three Gauss-Seidel sweeps of
    # weighted group means per outer iteration, stop when nothing moves by 1e-12
    T = np.sum(target * w) / np.sum(w)
    values = np.full((len(target), 2), T / 2)
    for it in range(50000):
        before = values.copy()
        for _ in range(3):
            for k in range(2):
                partial = target - values[:, 1 - k]
                means = np.bincount(ids[k], weights=partial * w) / np.bincount(ids[k], weights=w)
                values[:, k] = means[ids[k]]
        change = np.max(np.abs(values - before))
        if change < 1e-12:
            break
    # the last change is rounding noise, so only its order is compared
    assert re.search(rf"^Weighted FE converged in {it + 1} iterations \(max change: \d\.\d\de-1[3-9]\)$", out, re.M)
    consts = [np.sum(values[:, k] * w) / np.sum(w) for k in range(2)]
    for k, spec in enumerate(["a#b", "c"]):
        np.testing.assert_allclose(res.fixed_effects[spec].to_numpy(), values[:, k] - consts[k], rtol=0, atol=1e-10)
    assert res.fixed_effects["_cons"] == pytest.approx(sum(consts), rel=1e-12)


def test_recovery_without_fixed_effects(capsys):
    df = make_panel(seed=35)
    res = _poisabsorb.poisabsorb(["y"], X, None, df, FEgen=True, verb=1, print_stata_style_summary=False)
    out = capsys.readouterr().out
    assert "Warning: FE did not converge (max change: 0.00e+00)\n" in out
    fe = res.fixed_effects
    assert list(fe) == ["_cons", "__hdfe_sum__"]
    assert np.all(fe["__hdfe_sum__"].to_numpy() == 0.0)
    mu = res.fittedvalues.to_numpy()
    rowsum = res.fe_rowsum.to_numpy()
    assert fe["_cons"] == pytest.approx(np.sum(rowsum * mu) / mu.sum(), rel=1e-12)
    # without fixed effects the rowsum is the intercept everywhere
    np.testing.assert_allclose(rowsum, rowsum[0], rtol=1e-8)


@pytest.mark.parametrize("flag", [False, 2, "yes"])
def test_fegen_compared_by_equality(flag):
    df = make_panel(seed=36)
    res = _poisabsorb.poisabsorb(["y"], X, ["c"], df, FEgen=flag, print_stata_style_summary=False)
    assert not hasattr(res, "fixed_effects") and not hasattr(res, "fe_rowsum")


# ---- printed diagnostics after convergence --------------------------------

@pytest.mark.parametrize("setype", ["none", "cluster"])
def test_post_convergence_diagnostics(capsys, setype):
    df = make_panel(seed=40, scale_x2=20.0)
    if setype == "cluster":
        # a missing value: that regressor's divisor skips it, as pandas' std() does, and the row goes
        df.loc[df.index[3], X[1]] = np.nan
    clustvars = ["c", "a"] if setype == "cluster" else None
    res = _poisabsorb.poisabsorb(["y"], X, ["a#b", "c"], df, setype=setype, clustvars=clustvars, verb=2,
                                 print_stata_style_summary=False, separation="off")
    lines = capsys.readouterr().out.splitlines()
    mu = res.fittedvalues.to_numpy()
    eta = np.log(mu)  # no offset
    rows = df.loc[res.fittedvalues.index]
    y = rows["y"].to_numpy()
    worst = int(np.argmax(np.abs(eta)))
    start = lines.index("=== POST-CONVERGENCE DIAGNOSTICS ===")
    xs = {v: rows[v].iloc[worst] / df[v].std() for v in X}  # stored standardized
    expected = [
        f"  eta:     min={eta.min():.3e}  max={eta.max():.3e}  mean={eta.mean():.3e}  median={np.median(eta):.3e}",
        f"  mu:      min={mu.min():.3e}  max={mu.max():.3e}  mean={mu.mean():.3e}  sum={mu.sum():.3e}",
        f"  Y:       min={y.min():.3e}  max={y.max():.3e}  mean={y.mean():.3e}  sum={y.sum():.3e}",
        f"  obs with mu > 1e15: 0 of {len(rows):,}",
        f"  PPML score check: sum(mu)/sum(Y) = {mu.sum() / y.sum():.6f}  (should be ~ 1.0)",
        f"  --- worst-eta observation (row index {worst}) ---",
        f"    eta = {eta[worst]:.4f}",
        f"    mu  = {mu[worst]:.4e}",
        f"    Y   = {y[worst]:.4e}",
        f"    X values: {xs}",
        f"    FE group (a#b) = {({'a': rows['a'].iloc[worst], 'b': rows['b'].iloc[worst]})}",
        f"    FE group (c) = {({'c': rows['c'].iloc[worst]})}",
    ]
    assert lines[start + 1:start + 13] == expected
    # rescaling to the caller's units is announced only where standard errors are computed
    assert ("Rescaled beta and covmat back to original (un-standardized) units." in lines) == (setype != "none")
    if setype == "cluster":
        # verb > 1: the clustered covariance block, in standardized units
        block = lines[lines.index("=== CLUSTER SE DIAGNOSTICS ===") - 1:]
        N, K = len(rows), len(X)
        G = [rows["c"].nunique(), rows["a"].nunique()]
        assert block[:7] == ["", "=== CLUSTER SE DIAGNOSTICS ===", f"N = {N}, K = {K}",
                             "total_nonredundant_fe = 0", f"N_cluster: {G}", f"min_G = {min(G)}",
                             f"CR1 factor: {(N - 1) / (N - K):.10f}"]
        scale = df[X].std().to_numpy()
        se_std = np.sqrt(np.diag(res.covmat) * scale**2)
        se_line = next(s for s in block if s.startswith("SE: "))
        np.testing.assert_allclose(np.array(se_line[5:-1].split(), dtype=float), se_std, rtol=1e-6)


@pytest.mark.parametrize("name, accel", [("MAP_NH_CG_accel", True), ("MAP_NH_noaccel", False)])
def test_replaced_routine_gives_the_same_fit(monkeypatch, name, accel):
    # The package's own routine writes its result over the working matrix and
    # is handed z with the last fixed-effect part carried over; a routine put
    # in its place gets eight positional arguments, z as it is, and returns a
    # new array. Both paths reach the same fit, to the accuracy asked for.
    df = make_panel(n=300, seed=4)
    kw = dict(print_stata_style_summary=False, setype="cluster", clustvars=["c"], accel=accel, FEgen=True,
              start="ols")
    own = _poisabsorb.poisabsorb(["y"], ["x1", "x2", "x3"], ["a#b", "c"], df, **kw)
    real = getattr(_poisabsorb, name)
    calls = []

    def replaced(*args):
        calls.append(len(args))
        return real(*args)

    replaced.__name__ = name
    monkeypatch.setattr(_poisabsorb, name, replaced)
    other = _poisabsorb.poisabsorb(["y"], ["x1", "x2", "x3"], ["a#b", "c"], df, **kw)
    assert calls and set(calls) == {8}
    for attr in ["params", "bse", "fittedvalues", "resid_additive", "fe_rowsum"]:
        np.testing.assert_allclose(getattr(other, attr), getattr(own, attr), rtol=1e-7, atol=1e-9, err_msg=attr)
    np.testing.assert_allclose([other.cons, other.cons_se, other.llf], [own.cons, own.cons_se, own.llf], rtol=1e-7)
