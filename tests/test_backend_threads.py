"""Threads inside a column: with the observations split into many small blocks,
the partialling-out gives the same bits for every thread count, whether the
threads share a column or take columns side by side, and still matches the
explicit-dummy projection."""

import functools

import numpy as np
import pandas as pd
import pytest

import korvald
from korvald.backend import demeankit, grpkit

from test_backend import dense_codes, dense_residual, dummies


@pytest.fixture
def small_blocks():
    previous = demeankit._set_min_block_rows(50)
    yield
    demeankit._set_min_block_rows(previous)


@functools.lru_cache(maxsize=None)
def panel(nfe, sort, n=3000, seed=5):
    """A fine effect, a coarse one, a few periods and a size-skewed fourth. Sorted
    by the fine effect (8 rows per group), only the others need private block
    sums; unsorted (40 rows per group, so that blocks stay worth it), all do."""
    rng = np.random.default_rng(seed)
    fine = rng.integers(0, n // (8 if sort else 40), n)
    fes = [fine, rng.integers(0, 40, n), rng.integers(0, 6, n),
           np.floor(rng.pareto(1.5, n) * 5).clip(max=30).astype(np.int64)]
    order = np.argsort(fine, kind="stable") if sort else np.arange(n)
    fes = [dense_codes(f[order]) for f in fes[:nfe]]
    Z = np.column_stack([rng.normal(size=n) + 0.3 * fes[0] - 0.1 * fes[1], rng.normal(size=n) * 4 + 50.0,
                         rng.exponential(size=n) + np.sin(fes[-1]), rng.normal(size=n), np.cos(fes[1])])
    return fes, Z, np.exp(rng.normal(scale=0.7, size=n))


@functools.lru_cache(maxsize=None)
def reference(nfe, sort, weighted):
    fes, Z, w = panel(nfe, sort)
    return dense_residual(Z, fes, w if weighted else None)


@pytest.mark.parametrize("nfe", [2, 3, 4])
@pytest.mark.parametrize("sort", [True, False], ids=["sorted", "unsorted"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("solver", ["noaccel", "sweep", "reduced"])
def test_blocked_passes_are_thread_independent_and_exact(small_blocks, nfe, sort, weighted, solver):
    fes, Z, w = panel(nfe, sort)
    ww = w if weighted else None
    pm = grpkit.make_pointer(np.column_stack(fes))
    accel = solver != "noaccel"
    runs = {}
    # Five columns: two threads take columns side by side, three or four share each column.
    for nt in (1, 2, 3, 4):
        res, iters, passes, conv, used = demeankit._demean_stats(Z, ww, pm, 1e-11, 0, 100000, accel, nt,
                                                                 solver if accel else "auto")
        assert all(conv)
        runs[nt] = res
        if solver == "reduced":
            assert used == "reduced"
    for nt in (2, 3, 4):
        assert np.array_equal(runs[1], runs[nt]), nt
    # Two columns on two threads share each column too.
    res = demeankit._demean_stats(Z[:, :2], ww, pm, 1e-11, 0, 100000, accel, 2, solver if accel else "auto")[0]
    assert np.array_equal(res, runs[1][:, :2])
    # Columns whose CG steps share passes (five go four and one) give each column
    # the bits and counts it gets alone.
    for j in range(Z.shape[1]):
        alone = demeankit._demean_stats(Z[:, [j]], ww, pm, 1e-11, 0, 100000, accel, 2, solver if accel else "auto")
        assert np.array_equal(alone[0][:, 0], runs[1][:, j]), j
        assert (alone[1][0], alone[2][0]) == (iters[j], passes[j]), j
    # A column without variation among them is answered at once and leaves the others as they were.
    Zc = Z.copy()
    Zc[:, 2] = 7.5
    res = demeankit._demean_stats(Zc, ww, pm, 1e-11, 0, 100000, accel, 2, solver if accel else "auto")[0]
    assert np.all(res[:, 2] == 0.0)
    assert np.array_equal(np.delete(res, 2, axis=1), np.delete(runs[1], 2, axis=1))
    ref = reference(nfe, sort, weighted)
    scale = np.abs(Z - Z.mean(axis=0)).max(axis=0)
    assert np.all(np.abs(runs[1] - ref).max(axis=0) <= 1e-8 * scale)


@pytest.mark.parametrize("estimator", ["linabsorb", "poisabsorb"])
def test_estimates_are_bit_identical_for_every_thread_count(small_blocks, estimator):
    fes, Z, w = panel(3, sort=False, n=3000)
    rng = np.random.default_rng(9)
    df = pd.DataFrame({"x1": Z[:, 3], "x2": Z[:, 4], "a": fes[0], "b": fes[1], "c": fes[2]})
    eta = 0.4 * df.x1 - 0.2 * df.x2 + 0.05 * (fes[1] % 7)
    df["y"] = eta + rng.normal(size=len(df)) if estimator == "linabsorb" else rng.poisson(np.exp(eta)).astype(float)
    est = getattr(korvald, estimator)
    fits = [est(["y"], ["x1", "x2"], ["a", "b", "c"], df, setype="cluster", clustvars=["a"], nt=nt,
                print_stata_style_summary=False) for nt in (1, 2, 3)]
    for fit in fits[1:]:
        assert np.array_equal(np.asarray(fit.params), np.asarray(fits[0].params))
        assert np.array_equal(np.asarray(fit.bse), np.asarray(fits[0].bse))


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_poisson_loop_sums_rows_in_fixed_chunks(weighted):
    # Past 65536 rows the IRLS loop's per-row passes are shared by threads in fixed chunks, the
    # deviance summed per chunk, and threads write the identifiers back after the loop: the fit
    # (outputs in the order of those identifiers) must not depend on nt, and the deviance must
    # be the one of the fitted means.
    n = 150_000
    rng = np.random.default_rng(12)
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n), "a": rng.integers(0, n // 20, n),
                       "b": rng.integers(0, 300, n), "w": rng.uniform(0.5, 2.0, n)})
    df["y"] = rng.poisson(np.exp(0.3 * df.x1 - 0.2 * df.x2 + 0.1 * (df.b % 5))).astype(float)
    weights = ["w"] if weighted else None
    fits = [korvald.poisabsorb(["y"], ["x1", "x2"], ["a", "b"], df, setype="robust", nt=nt, weights=weights,
                               print_stata_style_summary=False) for nt in (1, 2, 3)]
    for fit in fits[1:]:
        for name in ["params", "bse", "fittedvalues"]:
            np.testing.assert_array_equal(np.asarray(getattr(fit, name)), np.asarray(getattr(fits[0], name)))
        assert fit.deviance == fits[0].deviance
    mu = fits[0].fittedvalues.to_numpy()
    y = df.loc[fits[0].fittedvalues.index, "y"].to_numpy()
    w = df.loc[fits[0].fittedvalues.index, "w"].to_numpy() if weighted else np.ones_like(y)
    w = w / w.mean()  # analytic weights are scaled to sum to the observations
    terms = np.where(y > 0, y * np.log(np.where(y > 0, y, 1.0) / mu), 0.0) - (y - mu)
    assert fits[0].deviance == pytest.approx(2 * np.sum(w * terms), rel=1e-10)


@pytest.mark.parametrize("nfe", [2, 3, 4])
def test_heavy_tailed_weights_with_the_finest_effect_not_first(small_blocks, nfe, cross_tables):
    """Poisson-like weights spanning ten orders of magnitude leave groups that are
    nearly determined by the finest effect once it is eliminated; the finest effect
    sits second here, so the elimination does not follow the column order."""
    rng = np.random.default_rng(21)
    n = 2400
    worker = np.repeat(np.arange(n // 8), 8)
    fes = [dense_codes(rng.integers(0, 40, n)), dense_codes(worker), dense_codes(np.tile(np.arange(8), n // 8)),
           dense_codes(rng.integers(0, 5, n))][:nfe]
    w = np.exp(rng.normal(scale=2.5, size=n))
    Z = np.column_stack([rng.normal(size=n) + 0.5 * fes[1] % 3, rng.exponential(size=n) * 3 - 10.0,
                         np.sin(fes[0]) + rng.normal(size=n)])
    pm = grpkit.make_pointer(np.column_stack(fes))
    runs = []
    for nt in (1, 2, 3):
        res, _, _, conv, used = demeankit._demean_stats(Z, w, pm, 1e-11, 0, 100000, True, nt, "sweep")
        assert all(conv) and used == "sweep"
        runs.append(res)
    for res in runs[1:]:
        assert np.array_equal(res, runs[0])
    ref = dense_residual(Z, fes, w)
    scale = np.abs(Z - Z.mean(axis=0)).max(axis=0)
    assert np.all(np.abs(runs[0] - ref).max(axis=0) <= 1e-8 * scale)
    # The routine itself (the reduced system where it factorises) agrees as well.
    got = demeankit.MAP_NH_CG_accel(Z.copy(), w, pm, 1e-11, 0, 100000, 0, 2)
    assert np.all(np.abs(got - ref).max(axis=0) <= 1e-8 * scale)


@pytest.mark.parametrize("nfe", [3, 4])
def test_strongly_coupled_groups_go_to_the_preconditioner_as_blocks(small_blocks, nfe):
    """Weights over about twelve orders of magnitude tie together the firms a worker's
    heaviest rows sit in. Those clusters are solved as blocks in the preconditioner of
    the Schur complement: the answer is the dense projection's, the same bits for every
    thread count, and it takes fewer CG steps than the diagonal alone."""
    rng = np.random.default_rng(3)
    n = 2400
    fes = [dense_codes(np.repeat(np.arange(n // 8), 8)), dense_codes(rng.integers(0, 40, n)),
           dense_codes(np.tile(np.arange(8), n // 8)), dense_codes(rng.integers(0, 5, n))][:nfe]
    w = np.exp(rng.normal(scale=4.0, size=n))
    Z = np.column_stack([rng.normal(size=n) + 0.5 * fes[0] % 3, rng.exponential(size=n) * 3 - 10.0,
                         np.sin(fes[1]) + rng.normal(size=n)])
    pm = grpkit.make_pointer(np.column_stack(fes))
    ref = dense_residual(Z, fes, w)
    scale = np.abs(Z - Z.mean(axis=0)).max(axis=0)
    steps = {}
    for blocks in (True, False):
        previous = demeankit._set_schur_aggregates(blocks)
        try:
            runs = [demeankit._demean_stats(Z, w, pm, 1e-11, 0, 100000, True, nt, "sweep") for nt in (1, 2, 3)]
        finally:
            demeankit._set_schur_aggregates(previous)
        res, steps[blocks], _, conv, used = runs[0]
        assert all(conv) and used == "sweep"
        for other in runs[1:]:
            assert np.array_equal(other[0], res)
        assert np.all(np.abs(res - ref).max(axis=0) <= 1e-8 * scale)
    assert all(on < off for on, off in zip(steps[True], steps[False])), steps


def sweep_criterion(r, fes, w, pivot):
    """sqrt(g' M^-1 g) for the normal-equation residual g = D'W r and the symmetric
    block Gauss-Seidel sweep M over the fixed effects, the finest (pivot) first."""
    order = [pivot] + [k for k in range(len(fes)) if k != pivot]
    D = np.hstack([dummies(fes[k]) for k in order])
    A = D.T @ (D * w[:, None])
    B = np.diag(np.diag(A))
    L = np.tril(A, -1)
    # Zero blocks within one fixed effect: A is diagonal there, so tril stays between effects.
    g = D.T @ (w * r)
    M = (B + L) @ np.linalg.pinv(B) @ (B + L).T
    return float(np.sqrt(max(g @ np.linalg.lstsq(M, g, rcond=None)[0], 0.0)))


@pytest.fixture(params=["tables", "passes"])
def cross_tables(request):
    """The stopping rule reads the others' cross-tabulations from dense tables, or
    (as for large effects) passes over the observations."""
    previous = demeankit._set_max_cross_table(0 if request.param == "passes" else 1 << 21)
    yield
    demeankit._set_max_cross_table(previous)


@pytest.mark.parametrize("nfe", [2, 3, 4])
def test_the_reported_criterion_is_the_symmetric_sweeps(nfe, cross_tables):
    """The stopping quantity of the diagonal-preconditioned solver is the one the
    routine documents, whatever preconditioner drives the steps: recomputed here
    from the returned residual at a loose tolerance (so that it is far from 0)."""
    rng = np.random.default_rng(4)
    n = 480
    fes = [dense_codes(rng.integers(0, 12, n)), dense_codes(np.repeat(np.arange(n // 6), 6)),
           dense_codes(np.tile(np.arange(6), n // 6)), dense_codes(rng.integers(0, 4, n))][:nfe]
    w = np.exp(rng.normal(scale=2.0, size=n))
    Z = np.column_stack([rng.normal(size=n) + np.cos(fes[0]), rng.exponential(size=n)])
    pm = grpkit.make_pointer(np.column_stack(fes))
    report = []
    for tol in (1e-3, 1e-5):
        report.clear()
        out = demeankit.MAP_NH_CG_accel(Z.copy(), w, pm, tol, 0, 100000, 0, 1, report=report)
        for j in range(Z.shape[1]):
            iterations, _, criterion, threshold, converged = report[j]
            assert converged and criterion <= threshold and iterations >= 1
            assert criterion == pytest.approx(sweep_criterion(out[:, j], fes, w, pivot=1), rel=1e-6, abs=1e-12)


def test_order_errors_name_the_first_bad_effect_for_every_thread_count():
    # The group index is built one fixed effect per thread; a bad sort order must still be
    # reported for the first effect that has one, with the message a single thread gives.
    fes, Z, _ = panel(3, sort=True)
    pm = grpkit.make_pointer(np.column_stack(fes))
    repeated, beyond = pm[0, 1].copy(), pm[0, 2].copy()
    repeated[3] = repeated[2]
    beyond[0] = len(Z)
    bad = pm.copy()
    bad[0, 1], bad[0, 2] = repeated, beyond
    for nt in (1, 2, 3):
        with pytest.raises(ValueError, match=r"^panelmat\[0, 1\] sort order is not a permutation"):
            demeankit.MAP_NH_CG_accel(Z.copy(), None, bad, 1e-8, 0, 100, 0, nt)
    bad[0, 1] = pm[0, 1]
    for nt in (1, 2, 3):
        with pytest.raises(ValueError, match=r"^panelmat\[0, 2\] sort order has positions out of range"):
            demeankit.MAP_NH_CG_accel(Z.copy(), None, bad, 1e-8, 0, 100, 0, nt)
    # Threads fill an effect's groups in runs: a repeat inside a run, one across
    # runs, and a repeat before an entry out of range (the repeat comes first).
    n = len(Z)
    for k, edits in [(0, {n - 1: 0}), (1, {n // 2: 7}), (1, {1: 0, n - 2: n}), (2, {n - 3: -1, 5: 4}),
                     (0, {n // 3: n // 3 + 1})]:
        order = pm[0, k].copy()
        for at, source in edits.items():
            order[at] = order[source] if 0 <= source < n else source
        bad = pm.copy()
        bad[0, k] = order
        messages = set()
        for nt in (1, 2, 3):
            with pytest.raises(ValueError, match=rf"^panelmat\[0, {k}\] sort order") as caught:
                demeankit.MAP_NH_CG_accel(Z.copy(), None, bad, 1e-8, 0, 100, 0, nt)
            messages.add(str(caught.value))
        assert len(messages) == 1


@pytest.mark.parametrize("rule", ["drop_singletons", "sep"])
def test_singleton_passes_give_the_same_marks_for_every_thread_count(rule):
    fes, Z, _ = panel(4, sort=False)
    pm = grpkit.make_pointer(np.column_stack(fes))
    y = np.where(fes[1] % 5 == 0, 0.0, Z[:, 1])  # all-zero groups for sep
    mask = (np.random.default_rng(4).random(len(y)) < 0.15).astype(np.int64)  # leaves singletons
    marks = {nt: getattr(demeankit, rule)(y, pm, mask, None, nt) for nt in (0, 1, 2, 3)}
    assert (marks[1] == 0).any() and (marks[1] != 0).any()
    for nt in (0, 2, 3):
        np.testing.assert_array_equal(marks[nt], marks[1])
    with pytest.raises(ValueError, match="nt must be non-negative"):
        getattr(demeankit, rule)(y, pm, mask, nt=-1)
