"""Separation: fe-style removal (all-zero groups, singletons), the iterative
rectifier, the `separation` option, and _detect_separation_ir on its own."""

import collections
import re

import numpy as np
import pandas as pd
import pytest

from korvald.poisabsorb import _poisabsorb
from _poisson_ref import glm_fit, make_panel


def separated_panel(seed=0):
    """200 rows in 20 groups of g (groups 0 and 1 all-zero y), plus 3 singleton
    groups of g with positive y, a second fixed effect h, a regular regressor
    x1, and xs which is 1 on six zero-y rows of ordinary groups and 0 elsewhere
    (regressor-based separation)."""
    rng = np.random.default_rng(seed)
    n = 200
    g = np.repeat(np.arange(20), 10)
    h = rng.integers(0, 5, n)
    x1 = rng.normal(size=n)
    y = rng.poisson(np.exp(0.2 + 0.4 * x1 + 0.1 * h)).astype(float)
    y[g < 2] = 0.0
    xs = np.zeros(n)
    zero_rows = np.flatnonzero((y == 0) & (g >= 2))
    sep_rows = rng.choice(zero_rows, size=6, replace=False)
    xs[sep_rows] = 1.0
    df = pd.DataFrame({"g": g, "h": h, "x1": x1, "xs": xs, "y": y})
    single = pd.DataFrame({"g": [100, 101, 102], "h": [0, 1, 2], "x1": [0.1, -0.2, 0.3], "xs": 0.0, "y": [2.0, 1.0, 3.0]})
    df = pd.concat([df, single], ignore_index=True)
    df.index = pd.Index(np.arange(len(df)) * 7 + 5)
    labels = {
        "zero_groups": set(df.index[df["g"] < 2]),
        "singletons": set(df.index[df["g"] >= 100]),
        "separated": set(df.index[df["xs"] > 0]),
    }
    return df, labels


def test_rows_dropped_counted_and_reported(capsys):
    df, labels = separated_panel()
    res = _poisabsorb.poisabsorb(["y"], ["x1", "xs"], ["g", "h"], df, setype="none")
    out = capsys.readouterr().out
    dropped = labels["zero_groups"] | labels["singletons"] | labels["separated"]
    kept = df.drop(index=sorted(dropped))
    assert set(res.fittedvalues.index) == set(kept.index)
    assert res.num_separated == 6 and res.N_dropped_ir_sep == 6
    assert res.N_dropped_fe_sep == 23 and res.N_dropped_invalid == 0
    assert res.N_full_initial == len(df)
    assert res.separation_methods == ["ir"] and res.keepsingletons is False
    fe_note = "23 singleton and/or all-zero fixed-effect-group observation(s) dropped (fe-style separation)"
    ir_note = "6 observation(s) dropped due to regressor-based separation (method: ir)"
    colin = "The variables xs are omitted due to colliearity"
    assert isinstance(res.msg, collections.deque)
    assert list(res.msg) == [fe_note, ir_note, colin]
    lines = out.splitlines()
    assert lines == [
        "note: " + fe_note,
        "note: running iterative rectifier (IR) separation check...",
        "note: " + ir_note,
        f"note: estimating on {len(kept)} of {len(df)} observations (29 dropped in total)",
    ]
    # on the remaining rows the estimate is the ordinary Poisson fit (xs is all zero there)
    ref, mu, _, _ = glm_fit(kept, ["x1"], ["g", "h"])
    np.testing.assert_allclose(np.ravel(res.params), ref, rtol=1e-6)
    np.testing.assert_allclose(res.fittedvalues.reindex(kept.index).to_numpy(), mu, rtol=1e-6)


def test_keepsingletons_keeps_singletons_but_not_zero_groups(capsys):
    df, labels = separated_panel(1)
    df = df.drop(index=sorted(labels["separated"]))
    res = _poisabsorb.poisabsorb(["y"], ["x1"], ["g", "h"], df, keepsingletons=True, separation="off")
    out = capsys.readouterr().out
    warn = "warning: keeping singleton groups will keep fixed effects that cause separation"
    note = "20 observation(s) dropped due to fe-style separation (y identically zero within an FE group)"
    assert list(res.msg)[:2] == [warn, note]
    assert warn + "\n" in out and "note: " + note + "\n" in out
    assert set(res.fittedvalues.index) == set(df.index) - labels["zero_groups"]
    assert res.keepsingletons is True and res.num_separated == 0


def test_rectifier_pass_with_keepsingletons():
    df, labels = separated_panel(4)
    res = _poisabsorb.poisabsorb(["y"], ["x1", "xs"], ["g", "h"], df, keepsingletons=True,
                                 print_stata_style_summary=False)
    kept = df.drop(index=sorted(labels["zero_groups"] | labels["separated"]))
    assert set(res.fittedvalues.index) == set(kept.index)  # singletons stay
    assert (res.N_dropped_fe_sep, res.num_separated) == (20, 6)
    ref, _, _, _ = glm_fit(kept, ["x1"], ["g", "h"])
    np.testing.assert_allclose(np.ravel(res.params), ref, rtol=1e-6)


@pytest.mark.parametrize(
    "value, methods, runs",
    [
        ("OFF", [], False),
        ("", [], False),
        (False, [], False),
        (0, [], False),
        (None, [], False),
        ("no", [], False),
        (True, ["ir"], True),
        (1, ["ir"], True),
        ("Default", ["ir"], True),
        ("AUTO", ["ir"], True),
        ("on", ["ir"], True),
        (["fe"], ["fe"], False),
        (("IR",), ["ir"], True),
        ({"relu"}, ["relu"], True),
        (np.array(["fe", "Ir"]), ["fe", "ir"], True),
    ],
)
def test_separation_option(value, methods, runs, capsys):
    df = make_panel(seed=3)
    res = _poisabsorb.poisabsorb(["y"], ["x1"], ["c"], df, separation=value, print_stata_style_summary=False, verb=1)
    out = capsys.readouterr().out
    assert res.separation_methods == methods
    assert ("note: running iterative rectifier (IR) separation check..." in out) == runs
    assert ("note: no additional separation detected by IR" in out) == runs


@pytest.mark.parametrize(
    "value, message",
    [
        (2, "Invalid value for separation: 2"),
        (2.5, "Invalid value for separation: 2.5"),
        ({"ir": 1}, "Invalid value for separation: {'ir': 1}"),  # unhashable: no alias either
        (["none"], "Unknown separation method(s): ['none']. Valid: ['fe', 'ir', 'relu'], or 'none'/'default'."),
        ("foo", "Unknown separation method(s): ['foo']. Valid: ['fe', 'ir', 'relu'], or 'none'/'default'."),
        (["ir", "x", "default"], "Unknown separation method(s): ['x', 'default']. Valid: ['fe', 'ir', 'relu'], or 'none'/'default'."),
    ],
)
def test_invalid_separation_option(value, message):
    df = make_panel(seed=3)
    with pytest.raises(ValueError, match=re.escape(message)):
        _poisabsorb.poisabsorb(["y"], ["x1"], ["c"], df, separation=value)


@pytest.mark.parametrize(
    "kw, message",
    [
        ({"sep_maxiter": 0}, "Need at least one iteration"),
        ({"sep_maxiter": -2}, "Need at least one iteration"),
        ({"sep_tol": 0.0}, "Invalid value for sep_tol; must be in (0, inf)"),
        ({"sep_tol": float("nan")}, "Invalid value for sep_tol; must be in (0, inf)"),
        ({"sep_K_penalty": 0}, "Invalid value for sep_K_penalty; must be in (0, inf)"),
        ({"sep_K_penalty": -1e6}, "Invalid value for sep_K_penalty; must be in (0, inf)"),
    ],
)
def test_rectifier_controls_that_would_flag_every_zero(kw, message):
    # without an iteration, without weight on the positive rows or with a threshold
    # at or below zero, the initial certificate (1 on every zero row) would stand
    df = make_panel(seed=3)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        _poisabsorb.poisabsorb(["y"], ["x1"], ["c"], df, print_stata_style_summary=False, **kw)
    # they are read only when the rectifier runs
    res = _poisabsorb.poisabsorb(["y"], ["x1"], ["c"], df, print_stata_style_summary=False, separation="off", **kw)
    assert res.num_separated == 0 and res.nobs == len(df)


def test_everything_separated_raises():
    # the only positive observation becomes a singleton once the separated zeros go
    df = pd.DataFrame({"g": [0, 0, 0], "x": [0.0, 1.0, 1.0], "y": [3.0, 0.0, 0.0]})
    with pytest.raises(Exception, match="^All observations removed by separation check$"):
        _poisabsorb.poisabsorb(["y"], ["x"], ["g"], df)


def test_all_zero_dependent_variable_raises():
    df = pd.DataFrame({"x": [1.0, 2.0, 3.0], "y": [0.0, 0.0, 0.0]})
    with pytest.raises(Exception, match="^All observations can be explained by the fixed effects$"):
        _poisabsorb.poisabsorb(["y"], ["x"], None, df, keepsingletons=True)


# ---- the detector on its own ---------------------------------------------

def detector_frame(df, specs):
    out = df.copy()
    names = []
    for i, spec in enumerate(specs):
        name = "fe_" + chr(65 + i)
        out[name] = out.groupby(spec.split("#"), sort=True).ngroup().astype("int64")
        names.append(name)
    return out, names


def rectifier_reference(data, y, x, fenames, tol=1e-5, maxiter=100, K_penalty=1e6, inner_maxiter=100,
                        inner_tol=1e-10):
    """The iterative rectifier written directly in NumPy."""
    Y = data[y].to_numpy(dtype=float).ravel()
    is_pos = Y != 0
    X = data[x].to_numpy(dtype=float) if x else np.zeros((len(Y), 0))
    fes = [data[f].to_numpy(dtype=np.int64) for f in fenames]
    w = np.where(is_pos, K_penalty, 1.0)

    def wdemean(v):
        v = np.array(v, dtype=float)
        for _ in range(inner_maxiter):
            old = v.copy()
            for f in fes:
                g = f.max() + 1
                s = np.bincount(f, weights=w * v, minlength=g)
                t = np.bincount(f, weights=w, minlength=g)
                v = v - (s / np.maximum(t, 1e-300))[f]
            if np.max(np.abs(v - old)) < inner_tol:
                break
        return v

    Xt = np.column_stack([wdemean(X[:, k]) for k in range(X.shape[1])]) if x else X
    XtWX = Xt.T @ (Xt * w[:, None])
    u = (~is_pos).astype(float)
    for _ in range(maxiter):
        rhs = Xt.T @ (w * wdemean(u))
        try:
            b = np.linalg.solve(XtWX, rhs)
        except np.linalg.LinAlgError:
            b = np.linalg.lstsq(XtWX, rhs, rcond=None)[0]
        Xb = Xt @ b
        r = u - Xb
        new = np.where(is_pos, 0.0, np.maximum(Xb + (r - wdemean(r)), 0.0))
        change = np.max(np.abs(new - u))
        u = new
        if change < tol:
            break
    return u > tol, u


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("x", [["x1", "xs"], ["x2"], ["x2", "x2copy"], []])
def test_detector_matches_reference(seed, x):
    df, _ = separated_panel(seed)
    frame, names = detector_frame(df, ["g", "h"])
    frame["x2"] = np.random.default_rng(seed).normal(size=len(frame))
    frame["x2copy"] = frame["x2"]  # singular cross-product: minimum-norm solution
    mask, u = _poisabsorb._detect_separation_ir(frame, ["y"], x, names)
    ref_mask, ref_u = rectifier_reference(frame, ["y"], x, names)
    np.testing.assert_array_equal(mask, ref_mask)
    np.testing.assert_allclose(u, ref_u, rtol=0, atol=1e-12)
    # Identifiers stored in 32 bits are read as they are, 64 bits (or a mix) as int64: same numbers.
    for widths in [(np.int32, np.int32), (np.int64, np.int64), (np.int32, np.int64)]:
        typed = frame.astype({name: t for name, t in zip(names, widths)})
        got_mask, got_u = _poisabsorb._detect_separation_ir(typed, ["y"], x, names)
        assert np.array_equal(got_mask, mask) and np.array_equal(got_u, u)


def test_detector_without_zeros_returns_at_once():
    df = pd.DataFrame({"y": [1.0, 2.0, 3.0], "x": [0.0, 1.0, 0.0], "fe_A": [0, 0, 1]})
    mask, u = _poisabsorb._detect_separation_ir(df, ["y"], ["x"], ["fe_A"])
    assert mask.dtype == bool and not mask.any()
    np.testing.assert_array_equal(u, np.zeros(3))


@pytest.mark.parametrize("x", [["x1", "xs"], ["xs"]])
def test_detector_finds_regressor_separation(x):
    df, labels = separated_panel(2)
    df = df[df["g"].between(2, 19)]  # only the regressor-based case remains
    frame, names = detector_frame(df, ["g", "h"])
    mask, u = _poisabsorb._detect_separation_ir(frame, ["y"], x, names)
    assert set(df.index[mask]) == labels["separated"]
    assert np.all(u[~mask] <= 1e-5) and np.all(u[mask] > 1e-5)
    assert np.all(u[df["y"].to_numpy() > 0] == 0)


def test_detector_uses_fixed_effects_without_regressors(capsys):
    df, labels = separated_panel(3)
    df = df[df["g"] < 20]
    frame, names = detector_frame(df, ["g"])
    mask, u = _poisabsorb._detect_separation_ir(frame, ["y"], [], names, verb=2)
    assert set(df.index[mask]) == labels["zero_groups"]
    lines = capsys.readouterr().out.splitlines()
    assert lines and all(re.fullmatch(r"  IR iter \d+: max change=\d\.\d\de[+-]\d\d, provisional sep = \d+", s) for s in lines)
    assert lines[0].startswith("  IR iter 1: ")


def test_detector_rejects_several_dependent_columns():
    df = pd.DataFrame({"y": [0.0, 1.0], "z": [1.0, 0.0], "fe_A": [0, 1]})
    with pytest.raises(ValueError, match="^y must name exactly one column$"):
        _poisabsorb._detect_separation_ir(df, ["y", "z"], [], ["fe_A"])


def test_detector_quiet_below_verb_2(capsys):
    df, _ = separated_panel(3)
    frame, names = detector_frame(df, ["g"])
    _poisabsorb._detect_separation_ir(frame, ["y"], ["x1"], names, verb=1)
    assert capsys.readouterr().out == ""


@pytest.mark.filterwarnings("ignore")  # the peer's own deprecation and singleton notices
def test_same_sample_and_estimate_as_pyfixest():
    # a regressor that is positive on some zero-y rows only separates them; both
    # implementations' fe and rectifier checks must remove the same rows
    pf = pytest.importorskip("pyfixest")
    rng = np.random.default_rng(5)
    n = 3000
    df = pd.DataFrame({"g": rng.integers(0, 100, n), "h": rng.integers(0, 30, n), "x1": rng.normal(size=n)})
    df["y"] = rng.poisson(np.exp(0.2 * df["x1"] + 0.3)).astype(float)
    marked = (df["y"] == 0) & (rng.uniform(size=n) < 0.1)
    df["xs"] = np.where(marked, rng.uniform(1, 2, n), 0.0)
    res = _poisabsorb.poisabsorb(["y"], ["x1", "xs"], ["g", "h"], df, print_stata_style_summary=False)
    peer = pf.fepois("y ~ x1 + xs | g + h", data=df.copy(), separation_check=["fe", "ir"], fixef_rm="singleton",
                     fixef_tol=1e-12, iwls_tol=1e-12)
    assert res.num_separated == marked.sum()
    assert res.nobs == peer._N
    # xs is all zero once the separated rows are gone, so only x1 remains
    assert res.model.exog_names == ["x1"]
    np.testing.assert_allclose(np.ravel(res.params), peer.coef()[["x1"]].to_numpy(), rtol=1e-9)


@pytest.mark.parametrize("names", [["fe_A", "fe_B", "fe_C"], ["fe_B", "fe_A", "fe_C"]],
                         ids=["sorted-first", "unsorted-first"])
@pytest.mark.parametrize("inner_maxiter", [100, 3], ids=["converged-sweeps", "capped-sweeps"])
def test_detector_on_blocks_of_observations_is_thread_independent(names, inner_maxiter):
    """Large enough for the passes to run in blocks of observations with their own
    group sums: the same certificate for every thread count, and the reference's.
    With the rows in runs of the first effect's groups, a run is summed and
    corrected in one pass; otherwise each effect has passes of its own. The
    sweeps stop by their tolerance or at their cap."""
    rng = np.random.default_rng(12)
    n = 140_000
    worker = np.repeat(np.arange(n // 7), 7)
    firm = rng.integers(0, 3000, n)
    x1 = rng.normal(size=n)
    xs = (rng.random(n) < 0.02).astype(float)
    y = rng.poisson(np.exp(0.4 * x1 + rng.normal(scale=0.5, size=n // 7)[worker])).astype(float)
    y[xs == 1] = 0.0  # xs > 0 only where y is 0: those rows are separated
    frame = pd.DataFrame({"y": y, "x1": x1, "xs": xs, "fe_A": worker.astype(np.int32),
                          "fe_B": pd.factorize(firm, sort=True)[0].astype(np.int32),
                          "fe_C": np.tile(np.arange(7), n // 7).astype(np.int32)})
    runs = [_poisabsorb._detect_separation_ir(frame, ["y"], ["x1", "xs"], names, inner_maxiter=inner_maxiter, nt=nt)
            for nt in (1, 2, 3)]
    for mask, u in runs[1:]:
        assert np.array_equal(mask, runs[0][0]) and np.array_equal(u, runs[0][1])
    ref_mask, ref_u = rectifier_reference(frame, ["y"], ["x1", "xs"], names, inner_maxiter=inner_maxiter)
    np.testing.assert_array_equal(runs[0][0], ref_mask)
    np.testing.assert_allclose(runs[0][1], ref_u, rtol=0, atol=1e-10)
    assert ref_mask.sum() >= (xs == 1).sum()
