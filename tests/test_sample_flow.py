"""The estimation sample's native numbering, re-coding and group pointers against the pandas
route, and the kernels' reuse of a group index across calls with the same pointers."""

import contextlib
import io

import numpy as np
import pandas as pd
import pytest

from korvald import linabsorb, poisabsorb
from korvald.backend import demeankit, grpkit


def panel(n=600, seed=3):
    """Two crossed effects with many small groups (so singletons appear and groups empty out)
    and a count outcome with all-zero groups for the Poisson model."""
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 150, n)
    b = rng.integers(0, 40, n)
    x1, x2 = rng.normal(size=(2, n))
    y = 0.5 * x1 - 0.2 * x2 + np.sin(a) + np.cos(b) + rng.normal(size=n)
    count = rng.poisson(np.exp(0.3 * x1 + 0.5 * np.sin(a)) * (a % 9 != 0))
    return pd.DataFrame({"y": y, "count": count, "x1": x1, "x2": x2, "a": a, "b": b, "c": rng.integers(0, 30, n)})


# Identifier encodings that number the groups in the same order as the plain codes: the native
# route (integers of a moderate range, negative ones, small unsigned types) and pandas' group-by
# (text, floats, integers spread far beyond the table range).
ENCODINGS = {
    "int8": lambda v: (v - 100).astype(np.int8),
    "uint16": lambda v: v.astype(np.uint16),
    "negative int64": lambda v: v.astype(np.int64) - 10**6,
    "huge spread": lambda v: v.astype(np.int64) * 10**15 - 2**62,
    "text": lambda v: np.char.add("g", np.char.zfill(v.astype(str), 4)).astype(object),
    "float": lambda v: v.astype(np.float64) / 8,
}


def fit(est, data, **kw):
    with contextlib.redirect_stdout(io.StringIO()):
        return est(kw.pop("y"), ["x1", "x2"], ["a", "b"], data, setype="cluster", clustvars=["a", "c"], FEgen=True,
                   print_stata_style_summary=False, **kw)


@pytest.mark.parametrize("encoding", sorted(ENCODINGS))
@pytest.mark.parametrize("model", ["ols", "ppml"])
def test_identifier_types_give_the_same_fit(encoding, model):
    data = panel()
    recoded = data.assign(a=ENCODINGS[encoding](data["a"].to_numpy()), b=ENCODINGS[encoding](data["b"].to_numpy()))
    est, y = (linabsorb, ["y"]) if model == "ols" else (poisabsorb, ["count"])
    ref, got = fit(est, data, y=y), fit(est, recoded, y=y)
    # text identifiers make the kept columns a common object array, hence the note
    assert [m for m in got.msg if m != "Some variables are not double, recasting"] == list(ref.msg)
    assert any("dropped" in m or "excluded" in m for m in ref.msg)  # so identifiers were re-coded
    np.testing.assert_allclose(got.params, ref.params, rtol=1e-10)
    np.testing.assert_allclose(got.bse, ref.bse, rtol=1e-10)
    pd.testing.assert_series_equal(got.resid if model == "ols" else got.resid_additive,
                                   ref.resid if model == "ols" else ref.resid_additive, rtol=1e-9)
    pd.testing.assert_series_equal(got.fe_rowsum, ref.fe_rowsum, rtol=1e-8, atol=1e-10)
    for spec in ["a", "b"]:
        np.testing.assert_allclose(got.fixed_effects[spec + "__levels"], ref.fixed_effects[spec + "__levels"],
                                   rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("model", ["ols", "ppml"])
@pytest.mark.parametrize("nt", [1, 2])
def test_outputs_are_the_callers_rows_in_the_callers_order(model, nt):
    # The outputs come sorted by the first fixed effect (rows of a group in the data's order),
    # which these rows are not in, so they are written through a reordering: every labelled
    # value must still belong to that row of the data.
    data = panel().set_axis(np.arange(600) * 7 + 1000)
    data.loc[data.index[[4, 90]], "x2"] = np.nan
    est, y = (linabsorb, "y") if model == "ols" else (poisabsorb, "count")
    got = fit(est, data, y=[y], nt=nt)
    fitted = got.fittedvalues
    positions = data.index.get_indexer(fitted.index)
    assert (positions >= 0).all() and len(positions) < len(data) - 2
    np.testing.assert_array_equal(positions, np.sort(positions)[np.argsort(data["a"].to_numpy()[np.sort(positions)],
                                                                           kind="stable")])
    assert not (np.diff(positions) > 0).all()
    outcome = data[y].to_numpy(dtype=float)[positions]
    if model == "ols":
        np.testing.assert_array_equal(fitted.to_numpy(), outcome - got.resid.to_numpy())
        np.testing.assert_array_equal(got.resid.index, fitted.index)
    else:
        np.testing.assert_array_equal(got.resid_multiplicative.to_numpy(), outcome / fitted.to_numpy())
        np.testing.assert_array_equal(got.resid_additive.to_numpy(), outcome - fitted.to_numpy())
        assert list(got.resid_additive.index) == list(got.resid_multiplicative.index) == list(fitted.index)


@pytest.mark.parametrize("model", ["ols", "ppml"])
def test_identifier_width_changes_nothing(model, monkeypatch):
    # Identifier columns are stored in 32 bits unless the group counts need 64; the setting forces
    # 64 bits on small data. Re-coding, separation, clustering on an absorbed effect and the
    # recovered effects all read them, and must give the very same numbers either way.
    est, y = (linabsorb, ["y"]) if model == "ols" else (poisabsorb, ["count"])
    data = panel()
    narrow = fit(est, data, y=y)
    monkeypatch.setenv("KORVALD_WIDE_IDENTIFIERS", "1")
    wide = fit(est, data, y=y)
    assert list(wide.msg) == list(narrow.msg)
    assert any("dropped" in m or "excluded" in m for m in narrow.msg)
    np.testing.assert_array_equal(wide.params, narrow.params)
    np.testing.assert_array_equal(wide.bse, narrow.bse)
    pd.testing.assert_series_equal(wide.fe_rowsum, narrow.fe_rowsum, check_exact=True)
    for spec in ["a", "b"]:
        pd.testing.assert_series_equal(wide.fixed_effects[spec], narrow.fixed_effects[spec], check_exact=True)


def test_outputs_follow_the_largest_identifier_with_ties_in_row_order():
    data = panel().sample(frac=1.0, random_state=1)  # labels out of order
    res = fit(linabsorb, data, y=["y"])
    labels = res.resid.index
    a = data.loc[labels, "a"].to_numpy()
    assert np.all(np.diff(a) >= 0)
    # within a group of `a`, rows keep the caller's order
    position = pd.Series(np.arange(len(data)), index=data.index).loc[labels].to_numpy()
    for g in np.unique(a):
        assert np.all(np.diff(position[a == g]) > 0)
    assert res.fittedvalues.index.equals(labels) and res.fe_rowsum.index.equals(labels)


# Caller indexes the outputs must carry over: the sample itself only knows row positions.
CALLER_INDEXES = {
    "range with start and step": lambda n: pd.RangeIndex(10, 10 + 3 * n, 3),
    "repeated text": lambda n: pd.Index([f"r{i % 97}" for i in range(n)]),
    "dates": lambda n: pd.date_range("2001-01-01", periods=n, freq="D"),
    "two levels": lambda n: pd.MultiIndex.from_arrays([np.arange(n) % 7, np.arange(n)]),
}


@pytest.mark.parametrize("kind", sorted(CALLER_INDEXES))
@pytest.mark.parametrize("model", ["ols", "ppml"])
def test_outputs_carry_the_callers_labels_of_the_kept_rows(kind, model):
    # Rows leave (a missing regressor, singletons, all-zero groups), so the outputs are a
    # reordered subset; with a plain RangeIndex their labels are the rows' positions.
    data = panel()
    data.loc[[5, 77, 300], "x2"] = np.nan
    est, y = (linabsorb, ["y"]) if model == "ols" else (poisabsorb, ["count"])
    ref = fit(est, data, y=y)
    labelled = data.set_axis(CALLER_INDEXES[kind](len(data)))
    before = labelled.copy()
    got = fit(est, labelled, y=y)
    positions = ref.fittedvalues.index.to_numpy()
    assert len(positions) < len(data) - 3
    expected = labelled.index[positions]
    for name in ["resid", "fittedvalues", "fe_rowsum"]:
        if model == "ppml" and name == "resid":
            name = "resid_additive"
        series = getattr(got, name)
        assert list(series.index) == list(expected) and series.index.name == "initial_index"
        np.testing.assert_array_equal(series.to_numpy(), getattr(ref, name).to_numpy())
    assert list(got.fixed_effects["a"].index) == list(expected)
    pd.testing.assert_frame_equal(labelled, before)


def design(n=2000, seed=5):
    rng = np.random.default_rng(seed)
    ids = np.column_stack([rng.integers(0, 90, n), rng.integers(0, 12, n), rng.integers(0, 7, n)])
    Z = np.column_stack([rng.normal(size=n) + ids[:, 0] % 5, rng.normal(size=n) - ids[:, 1]])
    return ids, Z, np.exp(rng.normal(size=n))


@pytest.mark.parametrize("routine", [demeankit.MAP_NH_CG_accel, demeankit.MAP_NH_noaccel])
def test_reused_group_index_changes_nothing(routine):
    ids, Z, w = design()
    pm = grpkit.make_pointer(ids)
    first = routine(Z.copy(), w, pm, 1e-12, 0, 5000, 0, 1)
    again = routine(Z.copy(), w, pm, 1e-12, 0, 5000, 0, 1)         # same pointers: index reused
    fresh = routine(Z.copy(), w, grpkit.make_pointer(ids), 1e-12, 0, 5000, 0, 1)
    assert np.array_equal(first, again) and np.array_equal(first, fresh)
    # Pointers changed in place (two observations swap groups of the first effect): the index is
    # rebuilt, and the result is that of the new grouping.
    order, panel_ = pm[0, 0], pm[1, 0]
    i, j = order[panel_[0, 0]], order[panel_[1, 0]]
    ids2 = ids.copy()
    ids2[[i, j], 0] = ids2[[j, i], 0]
    order[panel_[0, 0]], order[panel_[1, 0]] = j, i
    changed = routine(Z.copy(), w, pm, 1e-12, 0, 5000, 0, 1)
    np.testing.assert_array_equal(changed, routine(Z.copy(), w, grpkit.make_pointer(ids2), 1e-12, 0, 5000, 0, 1))
    assert not np.array_equal(changed, first)


def test_singleton_removal_then_partialling_out_share_pointers():
    ids, Z, _ = design()
    pm = grpkit.make_pointer(ids)
    keep = demeankit.drop_singletons(Z[:, 0].copy(), pm, np.ones(len(Z), np.int64))
    assert keep.all()
    got = demeankit.MAP_NH_CG_accel(Z.copy(), None, pm, 1e-12, 0, 5000, 0, 1)
    want = demeankit.MAP_NH_CG_accel(Z.copy(), None, grpkit.make_pointer(ids), 1e-12, 0, 5000, 0, 1)
    assert np.array_equal(got, want)


def test_poisson_regressors_of_other_dtypes_read_again_after_the_loop():
    # poisabsorb reads the regressors again from the caller's frame after its loop: an integer
    # column, a nullable float column with a missing value and a float32 column must give the
    # fit of their float64 equivalents (rows with the missing value dropped in both).
    data = panel()
    rng = np.random.default_rng(8)
    data["x1"] = rng.integers(-3, 4, len(data))
    data["x2"] = pd.array(data["x2"].round(3), dtype="Float64")
    data.loc[17, "x2"] = pd.NA
    data["x3"] = rng.normal(size=len(data)).astype(np.float32)
    data.index = [f"r{i}" for i in range(len(data))]
    plain = data.astype({"x1": np.float64, "x2": np.float64, "x3": np.float64})
    kw = dict(setype="cluster", clustvars=["a"], FEgen=True, print_stata_style_summary=False)
    got = poisabsorb(["count"], ["x1", "x2", "x3"], ["a", "b"], data, **kw)
    ref = poisabsorb(["count"], ["x1", "x2", "x3"], ["a", "b"], plain, **kw)
    np.testing.assert_array_equal(np.asarray(got.params), np.asarray(ref.params))
    np.testing.assert_array_equal(np.asarray(got.bse), np.asarray(ref.bse))
    assert got.cons == ref.cons and got.cons_se == ref.cons_se
    pd.testing.assert_series_equal(got.fe_rowsum, ref.fe_rowsum, check_exact=True)
    assert "r17" not in got.fittedvalues.index


def test_poisson_outcome_read_from_the_callers_column_or_a_copy():
    # With rows dropped, the loop reads a float64 outcome from the caller's own column at the
    # sample's rows; an integer outcome, or a float64 column that is a strided view (a frame made
    # from one 2-D array), is copied instead. All three must give the same fit, bit for bit.
    data = panel()
    kw = dict(setype="robust", FEgen=True, print_stata_style_summary=False)
    fits = {}
    as_float = data.assign(count=data["count"].astype(np.float64))
    numeric = ["count", "x1", "x2", "a", "b"]
    strided = pd.DataFrame(np.ascontiguousarray(as_float[numeric].to_numpy()), columns=numeric, index=data.index, copy=False)
    assert not strided["count"].to_numpy().flags.c_contiguous
    for name, frame in {"int": data, "float": as_float, "strided": strided}.items():
        fits[name] = poisabsorb(["count"], ["x1", "x2"], ["a", "b"], frame, **kw)
    assert fits["float"].nobs < len(data)  # rows were dropped, so the outcome is read at positions
    for name in ("int", "strided"):
        got, ref = fits[name], fits["float"]
        np.testing.assert_array_equal(np.asarray(got.params), np.asarray(ref.params))
        np.testing.assert_array_equal(np.asarray(got.bse), np.asarray(ref.bse))
        pd.testing.assert_series_equal(got.fittedvalues, ref.fittedvalues, check_exact=True)
        pd.testing.assert_series_equal(got.fe_rowsum, ref.fe_rowsum, check_exact=True)
        assert got.llf == ref.llf and got.deviance == ref.deviance and got.pearson_chi2 == ref.pearson_chi2
        pd.testing.assert_series_equal(got.resid_additive, ref.resid_additive, check_exact=True)
