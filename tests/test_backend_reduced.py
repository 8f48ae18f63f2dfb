"""MAP_NH_CG_accel on weakly connected panels, where it eliminates the finest
fixed effect and solves the reduced system with a sparse factorisation: exact
projection, honest convergence report, independence of the thread count."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

from korvald.backend import demeankit, grpkit
from test_backend import dense_codes, dense_residual, worker_firm


def two_part_panel(seed):
    """Two weakly connected worker-firm-period panels with no firm in common."""
    w1, f1, rng = worker_firm(150, 24, 4, 0.1, seed=seed)
    w2, f2, _ = worker_firm(90, 15, 4, 0.1, seed=seed + 1)
    worker = np.concatenate([w1, w2 + w1.max() + 1])
    firm = np.concatenate([f1, f2 + f1.max() + 1])
    period = np.tile(np.arange(4), len(worker) // 4)
    return worker, firm, period, rng


def design(name, seed=5):
    worker, firm, period, rng = two_part_panel(seed)
    fes = [worker, firm, period]
    if name == "sector":
        fes.append(firm // 4)  # firms nested in sectors: every sector shift is absorbed by its firms
    elif name == "worker_type":
        fes.append(worker // 3)  # workers nested in types, the finest effect absorbs them
    elif name == "firm_period":
        fes = [worker, dense_codes(np.column_stack([firm, period])), period]
    n = len(worker)
    Z = np.column_stack([
        rng.normal(size=n) + np.cos(firm) + 0.01 * worker,
        rng.normal(size=n) * 3 + 50.0,
        np.sin(period) + (firm % 3) * rng.exponential(size=n),
    ])
    w = np.exp(rng.normal(scale=0.7, size=n))
    return fes, Z, w


DESIGNS = ["three", "sector", "worker_type", "firm_period"]


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("name", DESIGNS)
def test_reduced_system_matches_dense_projection(name, weighted):
    fes, Z, w = design(name)
    ww = w if weighted else None
    pm = grpkit.make_pointer(np.column_stack(fes))
    res, iters, passes, converged, solver = demeankit._demean_stats(Z, ww, pm, 1e-12, 0, 1000, True, 1)
    assert solver == "reduced" and converged == [True] * 3
    assert all(i <= 5 for i in iters)  # a factorised preconditioner needs a handful of steps
    ref = dense_residual(Z, fes, ww)
    scale = np.abs(Z - Z.mean(axis=0)).max(axis=0)
    assert np.all(np.abs(res - ref).max(axis=0) <= 1e-9 * scale)
    # MAP_NH_CG_accel takes the same path.
    assert np.array_equal(demeankit.MAP_NH_CG_accel(Z, ww, pm, 1e-12, 0, 1000, 0, 1), res)


@pytest.mark.parametrize("name", ["sector", "worker_type"])
def test_weights_over_many_orders_of_magnitude(name):
    # Rounding can cost the reduced system its definiteness here; columns on
    # which CG stops gaining are solved by the sweeps instead.
    fes, Z, _ = design(name, seed=21)
    w = np.exp(np.random.default_rng(1).normal(scale=6, size=len(Z)))
    pm = grpkit.make_pointer(np.column_stack(fes))
    res, iters, passes, converged, solver = demeankit._demean_stats(Z, w, pm, 1e-12, 0, 1000, True, 1)
    assert solver == "reduced" and converged == [True] * 3
    err = np.sqrt((w[:, None] * (res - dense_residual(Z, fes, w)) ** 2).sum(axis=0))
    assert np.all(err <= 1e-8 * np.sqrt((w[:, None] * Z ** 2).sum(axis=0)))
    # Written over Z, the columns started over by the sweeps still start from Z.
    work = Z.copy()
    assert np.array_equal(demeankit.MAP_NH_CG_accel(work, w, pm, 1e-12, 0, 1000, 0, 1, overwrite=True), res)
    assert np.array_equal(work, res)


def sweep_criterion(fes, w, res, pivot_first):
    """sqrt(g' M^-1 g) for the normal-equation residual g = D'W res and the
    symmetric block Gauss-Seidel sweep M over the fixed effects in the given order."""
    order = sorted(range(len(fes)), key=lambda k: k != pivot_first)
    blocks = [np.eye(fes[k].max() + 1)[fes[k]] for k in order]
    ww = np.ones(len(res)) if w is None else w
    g = [D.T @ (ww * res) for D in blocks]
    # v = (B + L)^-1 g block by block; g' M^-1 g = v' B v.
    v, total = [], 0.0
    for k, D in enumerate(blocks):
        rhs = g[k] - sum(D.T @ (ww * (blocks[j] @ v[j])) for j in range(k))
        diag = D.T @ ww
        vk = np.divide(rhs, diag, out=np.zeros_like(rhs), where=diag > 0)
        v.append(vk)
        total += vk @ (diag * vk)
    return np.sqrt(total)


@pytest.mark.parametrize("tol", [1e-5, 1e-9])
@pytest.mark.parametrize("weighted", [False, True])
def test_reported_convergence_is_honest(tol, weighted, capsys):
    fes, Z, w = design("three", seed=9)
    ww = w if weighted else None
    pm = grpkit.make_pointer(np.column_stack(fes))
    res = demeankit.MAP_NH_CG_accel(Z, ww, pm, tol, 0, 1000, 1, 1)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and all(line.endswith(", converged") for line in lines)
    pivot = int(np.argmax([f.max() for f in fes]))
    sw = np.ones(len(Z)) if ww is None else ww
    for j, line in enumerate(lines):
        crit, target = map(float, re.search(r"criterion (\S+) \(target (\S+)\)", line).groups())
        zbar = np.average(Z[:, j], weights=sw)
        s = np.sqrt(np.sum(sw * (Z[:, j] - zbar) ** 2))
        assert target == pytest.approx(tol * s, rel=1e-3) and crit <= target
        # Recomputed from the returned residual, not from the solver's own recursion.
        assert sweep_criterion(fes, ww, res[:, j], pivot) <= 1.001 * tol * s + 1e-12 * s


def test_iteration_cap_and_minimum_are_honoured():
    fes, Z, w = design("sector")
    pm = grpkit.make_pointer(np.column_stack(fes))
    capped = demeankit._demean_stats(Z, w, pm, 1e-30, 0, 1, True, 1)
    assert capped[4] == "reduced" and capped[1] == [1, 1, 1] and capped[3] == [False] * 3
    forced = demeankit._demean_stats(Z, w, pm, 1e-2, 4, 1000, True, 1)
    assert forced[1] == [4, 4, 4] and forced[3] == [True] * 3


@pytest.mark.parametrize("weighted", [False, True])
def test_reduced_system_is_thread_independent_and_agrees_with_sweeps(weighted):
    fes, Z, w = design("worker_type")
    ww = w if weighted else None
    pm = grpkit.make_pointer(np.column_stack(fes))
    wide = np.column_stack([Z, Z[:, ::-1] * 2.0, Z[:, :1] - 3.0, Z[:, 1:2] ** 2])
    runs = [demeankit._demean_stats(wide, ww, pm, 1e-11, 0, 100000, True, nt) for nt in (1, 2, 0)]
    assert all(r[4] == "reduced" for r in runs)
    assert np.array_equal(runs[0][0], runs[1][0]) and np.array_equal(runs[0][0], runs[2][0])
    sweep = demeankit._demean_stats(wide, ww, pm, 1e-11, 0, 100000, True, 1, "sweep")
    assert sweep[4] == "sweep" and all(sweep[3])
    assert np.abs(sweep[0] - runs[0][0]).max() <= 1e-8 * np.abs(wide).max()


@pytest.mark.parametrize("workers,firms", [(24_000, 1_200), (3_000, 20)])
def test_dense_reduced_system_keeps_the_sweeps(workers, firms):
    # Every worker meets ten random firms: the reduced system is nearly dense,
    # too large to factorise (1,200 firms) or a sign of a well-connected panel
    # on which the sweeps converge at once (20 firms).
    rng = np.random.default_rng(3)
    worker = np.repeat(np.arange(workers), 10)
    firm = rng.integers(0, firms, len(worker))
    pm = grpkit.make_pointer(np.column_stack([worker, firm, np.tile(np.arange(10), workers)]))
    Z = rng.normal(size=(len(worker), 1)) + np.sin(firm)[:, None]
    auto = demeankit._demean_stats(Z, None, pm, 1e-10, 0, 1000, True, 2)
    forced = demeankit._demean_stats(Z, None, pm, 1e-10, 0, 1000, True, 2, "reduced")
    assert auto[4] == "sweep" and forced[4] == "reduced" and auto[3] == forced[3] == [True]
    assert np.abs(auto[0] - forced[0]).max() <= 1e-7


def test_solver_choice_is_checked():
    fes, Z, w = design("three")
    pm = grpkit.make_pointer(np.column_stack(fes))
    with pytest.raises(ValueError, match=re.escape("solver must be 'auto', 'sweep' or 'reduced'")):
        demeankit._demean_stats(Z, None, pm, 1e-8, 0, 10, True, 1, "direct")


def test_kept_layout_gives_the_fresh_result_for_every_weighting():
    # One panelmat called with changing weights (as the Poisson IRLS does)
    # reuses the reduced system's layout and analysis; each call must equal a
    # call on a fresh copy of the panelmat, which builds everything anew, bit
    # for bit and at every thread count. Zero weights empty some cells and cut
    # a part off; a changed panelmat gets a new layout.
    fes, Z, w = design("sector", seed=13)
    n = len(Z)
    rng = np.random.default_rng(4)
    zeroed = w.copy()
    zeroed[fes[1] == 3] = 0.0  # a whole firm without weight
    zeroed[rng.random(n) < 0.2] = 0.0
    weightings = [w, None, np.exp(rng.normal(scale=2.0, size=n)), zeroed, w]
    calls = [(ww, nt) for nt in (1, 2) for ww in weightings]
    kept = grpkit.make_pointer(np.column_stack(fes))
    # All calls on the kept panelmat first: a call on another one would evict it.
    reused = [demeankit._demean_stats(Z, ww, kept, 1e-11, 0, 1000, True, nt) for ww, nt in calls]
    for (ww, nt), r in zip(calls, reused):
        fresh = demeankit._demean_stats(Z, ww, grpkit.make_pointer(np.column_stack(fes)), 1e-11, 0, 1000, True, nt)
        assert r[4] == fresh[4] == "reduced" and r[3] == [True] * 3
        assert np.array_equal(r[0], fresh[0]) and r[1] == fresh[1]
        # Rows without weight have no determined fit.
        rows = slice(None) if ww is None else ww > 0
        assert np.abs(r[0] - dense_residual(Z, fes, ww))[rows].max() <= 1e-8 * np.abs(Z).max()
    # The same panelmat object re-pointed at other groups (firms relabelled)
    # must not be served the old layout.
    other = [fes[0], dense_codes((fes[1] * 7) % (fes[1].max() + 1) + (fes[0] % 2) * 100), fes[2], fes[3]]
    kept[:] = grpkit.make_pointer(np.column_stack(other))
    moved = demeankit._demean_stats(Z, w, kept, 1e-11, 0, 1000, True, 1)
    assert np.abs(moved[0] - dense_residual(Z, other, w)).max() <= 1e-8 * np.abs(Z).max()


def test_poisson_fit_through_the_kept_reduced_system_matches_glm():
    # Every IRLS iteration calls the partialling-out with new weights on the
    # same groups, so all but the first reuse the reduced system's layout.
    from korvald import poisabsorb
    from _poisson_ref import glm_fit

    worker, firm, period, rng = two_part_panel(seed=17)
    n = len(worker)
    x1, x2 = rng.normal(size=n), rng.uniform(-1, 1, size=n)
    eta = 1.2 + 0.3 * x1 - 0.5 * x2 + 0.4 * np.sin(firm) + 0.1 * period + rng.normal(scale=0.3, size=n)[worker]
    df = pd.DataFrame({"worker": worker, "firm": firm, "period": period, "x1": x1, "x2": x2,
                       "y": rng.poisson(np.exp(eta)).astype(float)})
    pm = grpkit.make_pointer(np.column_stack([worker, firm, period]))
    assert demeankit._demean_stats(df[["x1"]].to_numpy(), np.exp(eta), pm, 1e-8, 0, 100, True, 1)[4] == "reduced"
    res = poisabsorb(["y"], ["x1", "x2"], ["worker", "firm", "period"], df, print_stata_style_summary=False,
                     eps_beta=1e-12, eps_MAP=1e-13)
    with warnings.catch_warnings():
        # The two parts make the dummy design rank-deficient; the fit is still determined.
        warnings.simplefilter("ignore")
        beta, mu, _, _ = glm_fit(df, ["x1", "x2"], ["worker", "firm", "period"])
    assert res.nobs == n
    np.testing.assert_allclose(np.asarray(res.params, dtype=float).ravel(), beta, rtol=0, atol=1e-8)
    np.testing.assert_allclose(np.asarray(res.fittedvalues, dtype=float), mu, rtol=1e-6, atol=1e-7)
