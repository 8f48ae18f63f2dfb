"""demeankit kernels against brute-force NumPy references on small data."""

import re

import numpy as np
import pytest

from korvald.backend import demeankit, grpkit

ROUTINES = {"noaccel": demeankit.MAP_NH_noaccel, "accel": demeankit.MAP_NH_CG_accel}


def dense_codes(values):
    """Group numbers 0..G-1 in ascending order of the values (rows of a 2-D key)."""
    return np.unique(values, axis=0, return_inverse=True)[1].reshape(-1).astype(np.int64)


def dummies(codes):
    return np.eye(codes.max() + 1)[codes]


def dense_residual(Z, fe_codes, w):
    """Z minus its (weighted) least-squares fit on explicit dummies of all fixed effects."""
    D = np.hstack([dummies(c) for c in fe_codes])
    sw = np.ones(len(Z)) if w is None else np.sqrt(w)
    Zm = Z.reshape(len(Z), -1)
    coef = np.linalg.lstsq(D * sw[:, None], Zm * sw[:, None], rcond=None)[0]
    return (Zm - D @ coef).reshape(Z.shape)


def unbalanced_design(n=500, seed=0):
    """Three fixed effects of uneven sizes; the third is an interaction a#c."""
    rng = np.random.default_rng(seed)
    a = dense_codes(np.floor(rng.pareto(1.5, n) * 8).clip(max=60))
    b = dense_codes(rng.integers(0, 15, n))
    c = rng.integers(0, 3, n)
    ac = dense_codes(np.column_stack([a, c]))
    return [a, b, ac], rng


@pytest.fixture(scope="module")
def design():
    fes, rng = unbalanced_design()
    n = len(fes[0])
    Z = np.column_stack([
        rng.normal(size=n) + 0.7 * fes[0] - 0.2 * fes[1],
        rng.normal(size=n) * 5 + 100.0,
        rng.exponential(size=n) + np.sin(fes[2]),
    ])
    w = np.exp(rng.normal(scale=0.8, size=n))
    return fes, Z, w


@pytest.mark.parametrize("routine", sorted(ROUTINES))
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("nfe", [1, 2, 3])
def test_matches_dense_projection(design, routine, weighted, nfe):
    fes, Z, w = design
    ww = w if weighted else None
    panelmat = grpkit.make_pointer(np.column_stack(fes[:nfe]))
    got = ROUTINES[routine](Z, ww, panelmat, 1e-12, 0, 100000, 0, 1)
    ref = dense_residual(Z, fes[:nfe], ww)
    assert got.shape == Z.shape and got.dtype == np.float64 and got.flags.c_contiguous
    scale = np.abs(Z - Z.mean(axis=0)).max(axis=0)
    assert np.all(np.abs(got - ref).max(axis=0) <= 1e-8 * scale)


@pytest.mark.parametrize("weighted", [False, True])
def test_routines_agree_and_thread_count_is_irrelevant(design, weighted):
    fes, Z, w = design
    ww = w if weighted else None
    panelmat = grpkit.make_pointer(np.column_stack(fes))
    Zwide = np.column_stack([Z, Z[:, ::-1] * 2.0, Z[:, :1] - 3.0])
    results = {}
    for name, fn in ROUTINES.items():
        one = fn(Zwide, ww, panelmat, 1e-12, 0, 100000, 0, 1)
        two = fn(Zwide, ww, panelmat, 1e-12, 0, 100000, 0, 2)
        every = fn(Zwide, ww, panelmat, 1e-12, 0, 100000, 0, 0)
        assert np.array_equal(one, two) and np.array_equal(one, every)
        results[name] = one
    assert np.allclose(results["noaccel"], results["accel"], rtol=0, atol=1e-8 * np.abs(Zwide).max())


@pytest.mark.parametrize("routine", sorted(ROUTINES))
def test_input_untouched_and_layouts(design, routine):
    fes, Z, w = design
    fn = ROUTINES[routine]
    panelmat = grpkit.make_pointer(np.column_stack(fes[:2]))
    Zc, wc = Z.copy(), w.copy()
    Zro = Z.copy()
    Zro.flags.writeable = False
    base = fn(Zro, w, panelmat, 1e-11, 0, 100000, 0, 1)
    assert base is not Zro and np.array_equal(Zro, Zc) and np.array_equal(w, wc)
    # Column-major input, a strided column view and a 1-D vector give the same numbers.
    assert np.array_equal(fn(np.asfortranarray(Z), w, panelmat, 1e-11, 0, 100000, 0, 1), base)
    wide = np.repeat(Z, 2, axis=1)
    assert np.array_equal(fn(wide[:, ::2], w, panelmat, 1e-11, 0, 100000, 0, 1), base)
    vec = fn(Z[:, 1].copy(), w, panelmat, 1e-11, 0, 100000, 0, 1)
    assert vec.shape == (len(Z),) and np.array_equal(vec, base[:, 1])
    strided_w = np.repeat(w, 2)[::2]
    assert np.array_equal(fn(Z, strided_w, panelmat, 1e-11, 0, 100000, 0, 1), base)


@pytest.mark.parametrize("routine", sorted(ROUTINES))
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("nfe", [1, 2, 3])
def test_overwrite_gives_the_same_numbers_in_place(design, routine, weighted, nfe):
    fes, Z, w = design
    fn = ROUTINES[routine]
    ww = w if weighted else None
    panelmat = grpkit.make_pointer(np.column_stack(fes[:nfe]))
    Zc = np.column_stack([Z, np.full(len(Z), 2.5)])  # a constant column is answered at once
    fresh = fn(Zc, ww, panelmat, 1e-11, 0, 100000, 0, 2)
    work = Zc.copy()
    got = fn(work, ww, panelmat, 1e-11, 0, 100000, 0, 2, overwrite=True)
    assert got is work and np.array_equal(work, fresh)
    vec = Zc[:, 0].copy()
    assert fn(vec, ww, panelmat, 1e-11, 0, 100000, 0, 1, overwrite=True) is vec
    assert np.array_equal(vec, fresh[:, 0])


@pytest.mark.parametrize("make, message", [
    (lambda Z, w: (np.asfortranarray(Z), None), "Z to be a writable C-contiguous float64 numpy array"),
    (lambda Z, w: (Z.astype(np.float32), None), "Z to be a writable C-contiguous float64 numpy array"),
    (lambda Z, w: (Z.tolist(), None), "Z to be a writable C-contiguous float64 numpy array"),
    (lambda Z, w: (np.ascontiguousarray(np.column_stack([w, Z[:, 1]])),) * 2, "w to be stored apart from Z"),
])
def test_overwrite_needs_an_array_of_its_own(design, make, message):
    fes, Z, w = design
    panelmat = grpkit.make_pointer(np.column_stack(fes[:2]))
    Zin, win = make(Z, w)
    if isinstance(win, np.ndarray):
        win = win[:, 0]  # the weights are Z's first column
    before = np.array(Zin, copy=True)
    with pytest.raises(ValueError, match=re.escape("overwrite=True needs " + message)):
        demeankit.MAP_NH_CG_accel(Zin, win, panelmat, 1e-9, overwrite=True)
    assert np.array_equal(np.asarray(Zin), before)
    read_only = Z.copy()
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match=re.escape("overwrite=True needs Z to be a writable")):
        demeankit.MAP_NH_noaccel(read_only, None, panelmat, 1e-9, overwrite=True)


@pytest.mark.parametrize("routine", sorted(ROUTINES))
def test_constant_and_spanned_columns(design, routine):
    fes, Z, w = design
    panelmat = grpkit.make_pointer(np.column_stack(fes))
    n = len(Z)
    spanned = 2.0 * fes[0] - 1.5 * (fes[1] == 3) + 0.25 * fes[2] + 7.0
    cols = np.column_stack([np.full(n, 0.1), spanned, np.zeros(n)])
    got = ROUTINES[routine](cols, w, panelmat, 1e-12, 0, 100000, 0, 1)
    assert np.all(got[:, 0] == 0.0) and np.all(got[:, 2] == 0.0)
    assert np.abs(got[:, 1]).max() <= 1e-9 * np.abs(spanned).max()


def worker_firm(n_workers, n_firms, periods, mobility, seed=0):
    """Workers stay with one firm and rarely move to a neighbouring one: the
    worker-firm graph is barely connected, the slow case for plain sweeps."""
    rng = np.random.default_rng(seed)
    home = rng.integers(0, n_firms, n_workers)
    dest = (home + rng.integers(1, 3, n_workers)) % n_firms
    moves = rng.random(n_workers) < mobility
    worker = np.repeat(np.arange(n_workers), periods)
    t = np.tile(np.arange(periods), n_workers)
    cut = rng.integers(1, periods, n_workers)
    firm = np.where(moves[worker] & (t >= cut[worker]), dest[worker], home[worker])
    return worker, dense_codes(firm), rng


@pytest.mark.parametrize("with_period", [False, True])
def test_cg_needs_far_fewer_passes_on_weakly_connected_design(with_period):
    worker, firm, rng = worker_firm(600, 60, 4, 0.06)
    fes = [worker, firm] + ([np.tile(np.arange(4), 600)] if with_period else [])
    panelmat = grpkit.make_pointer(np.column_stack(fes))
    n = len(worker)
    Z = np.column_stack([rng.normal(size=n) + np.cos(firm), rng.normal(size=n) + 0.01 * worker])
    plain = demeankit._demean_stats(Z, None, panelmat, 1e-8, 0, 200000, False, 1)
    cg = demeankit._demean_stats(Z, None, panelmat, 1e-8, 0, 200000, True, 1)
    assert plain[3] == [True, True] and cg[3] == [True, True]
    assert all(c * 3 < p for c, p in zip(cg[2], plain[2]))
    assert all(c < p for c, p in zip(cg[1], plain[1]))
    ref = dense_residual(Z, fes, None)
    assert np.abs(cg[0] - ref).max() <= 1e-6 * np.abs(Z).max()


@pytest.mark.parametrize("accel", [False, True])
def test_iteration_bounds(accel):
    worker, firm, rng = worker_firm(300, 30, 4, 0.06, seed=3)
    panelmat = grpkit.make_pointer(np.column_stack([worker, firm]))
    Z = rng.normal(size=(len(worker), 2))
    capped = demeankit._demean_stats(Z, None, panelmat, 1e-30, 0, 2, accel, 1)
    assert capped[1] == [2, 2] and capped[3] == [False, False]
    assert np.all(np.isfinite(capped[0]))
    loose = demeankit._demean_stats(Z, None, panelmat, 1e-1, 0, 1000, accel, 1)
    forced = demeankit._demean_stats(Z, None, panelmat, 1e-1, 7, 1000, accel, 1)
    assert all(i < 7 for i in loose[1]) and forced[1] == [7, 7] and forced[3] == [True, True]


@pytest.mark.parametrize("routine", sorted(ROUTINES))
def test_verbose_report(design, routine, capsys):
    fes, Z, w = design
    panelmat = grpkit.make_pointer(np.column_stack(fes[:2]))
    ROUTINES[routine](Z, None, panelmat, 1e-10, 0, 1000, 0, 1)
    assert capsys.readouterr().out == ""
    ROUTINES[routine](Z, None, panelmat, 1e-10, 0, 1000, 1, 1)
    lines = capsys.readouterr().out.splitlines()
    name = ROUTINES[routine].__name__
    assert len(lines) == 3
    for j, line in enumerate(lines):
        assert line.startswith(f"{name}: column {j + 1} of 3: ") and line.endswith("converged")
    ROUTINES[routine](Z, None, panelmat, 1e-15, 0, 1, 1, 1)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and all(line.endswith("NOT converged: maxsubiter (1) reached") for line in lines)
    bad = Z.copy()
    bad[0, 1] = np.nan
    ROUTINES[routine](bad, None, panelmat, 1e-10, 0, 1000, 0.5, 1)  # any positive number turns printing on
    lines = capsys.readouterr().out.splitlines()
    assert lines[1].endswith("NOT converged: non-finite values") and lines[0].endswith(", converged")


def test_routine_names():
    assert demeankit.MAP_NH_CG_accel.__name__ == "MAP_NH_CG_accel"
    assert demeankit.MAP_NH_noaccel.__name__ == "MAP_NH_noaccel"


def test_nonfinite_input_gives_nonfinite_output(design):
    fes, Z, w = design
    panelmat = grpkit.make_pointer(np.column_stack(fes[:2]))
    bad = Z.copy()
    bad[5, 0] = np.nan
    bad[9, 2] = np.inf
    for fn in ROUTINES.values():
        got = fn(bad, None, panelmat, 1e-10, 0, 1000, 0, 1)
        assert not np.isfinite(got[:, 0]).all() and not np.isfinite(got[:, 2]).all()
        assert np.allclose(got[:, 1], dense_residual(Z[:, 1], fes[:2], None), atol=1e-7)


# ---------------------------------------------------------------- bad arguments


def small_panelmat(n=10):
    codes = np.arange(n) % 3
    return grpkit.make_pointer(codes[:, None]), codes


def object_array(order, panel):
    pm = np.empty((2, 1), dtype=object)
    pm[0, 0], pm[1, 0] = order, panel
    return pm


def map_cases():
    pm, codes = small_panelmat()
    Z = np.ones((10, 2)) * np.arange(10)[:, None]
    order, panel = pm[0, 0], pm[1, 0]
    repeated = order.copy()
    repeated[1] = repeated[0]
    gap = panel.copy()
    gap[1, 0] += 1
    overlap = panel.copy()
    overlap[0, 1] += 1
    beyond = panel.copy()
    beyond[2, 1] = 10
    negative = panel.copy()
    negative[0, 0] = -1
    ok = dict(Z=Z, w=None, panelmat=pm, tol=1e-8, minsubiter=0, maxsubiter=100, verb=0, nt=1)
    cases = [
        (dict(Z=Z.tolist()), TypeError, "Z must be a float64 array"),
        (dict(Z=Z.astype(np.int64)), TypeError, "Z must be a float64 array"),
        (dict(Z=Z.astype(np.float32)), TypeError, "Z must be a float64 array"),
        (dict(Z=np.ones((10, 2, 1))), ValueError, "Z must be 1- or 2-dimensional, got shape (10, 2, 1)"),
        (dict(w=np.ones(9)), ValueError, "w must have length N (10), got 9"),
        (dict(w=np.ones(10, dtype=np.int64)), TypeError, "w must be a float64 array"),
        (dict(w=np.ones((10, 2))), ValueError, "w must be a vector (N or N x 1), got 2 columns"),
        (dict(w=-np.ones(10)), ValueError, "w must be finite and non-negative"),
        (dict(w=np.full(10, np.nan)), ValueError, "w must be finite and non-negative"),
        (dict(panelmat=[order, panel]), ValueError, "panelmat must be a (2, k) object array"),
        (dict(panelmat=np.empty((3, 1), dtype=object)), ValueError, "panelmat must be a (2, k) object array"),
        (dict(panelmat=np.zeros((2, 1))), ValueError, "panelmat must be a (2, k) object array"),
        (dict(panelmat=object_array(order[:5], panel)), ValueError,
         "panelmat[0, 0] sort order has length 5, expected 10"),
        (dict(panelmat=object_array(order.astype(float), panel)), TypeError,
         "panelmat[0, 0] sort order must be an integer array"),
        (dict(panelmat=object_array(order + 1, panel)), ValueError,
         "panelmat[0, 0] sort order has positions out of range [0, 10)"),
        (dict(panelmat=object_array(repeated, panel)), ValueError,
         "panelmat[0, 0] sort order is not a permutation (a position repeats)"),
        (dict(panelmat=object_array(order, panel.astype(np.int32))), TypeError,
         "panelmat[1, 0] must be an int64 array"),
        (dict(panelmat=object_array(order, panel[:, :1].copy())), ValueError,
         "panelmat[1, 0] must have shape (G, 2), got (3, 1)"),
        (dict(panelmat=object_array(order, beyond)), ValueError, "panelmat[1, 0]: panel positions out of range"),
        (dict(panelmat=object_array(order, negative)), ValueError, "panelmat[1, 0]: panel positions out of range"),
        (dict(panelmat=object_array(order, gap)), ValueError,
         "panelmat[1, 0]: group ranges must cover positions 0..9 once, in group order"),
        (dict(panelmat=object_array(order, overlap)), ValueError,
         "panelmat[1, 0]: group ranges must cover positions 0..9 once, in group order"),
        (dict(panelmat=object_array(order, panel[:2].copy())), ValueError,
         "panelmat[1, 0]: group ranges must cover positions 0..9 once, in group order"),
        (dict(tol=0.0), ValueError, "tol must be positive and finite"),
        (dict(tol=-1e-8), ValueError, "tol must be positive and finite"),
        (dict(tol=float("inf")), ValueError, "tol must be positive and finite"),
        (dict(tol=float("nan")), ValueError, "tol must be positive and finite"),
        (dict(tol="1e-8"), TypeError, "tol must be a number"),
        (dict(maxsubiter=0), ValueError, "maxsubiter must be at least 1"),
        (dict(maxsubiter=2.0), TypeError, "maxsubiter must be an integer"),
        (dict(minsubiter=101), ValueError, "minsubiter must not exceed maxsubiter"),
        (dict(nt=-1), ValueError, "nt must be non-negative"),
        (dict(verb="x"), TypeError, "verb must be a number"),
    ]
    return ok, cases


@pytest.mark.parametrize("routine", sorted(ROUTINES))
@pytest.mark.parametrize("case", range(len(map_cases()[1])))
def test_bad_arguments(routine, case):
    ok, cases = map_cases()
    change, exc, message = cases[case]
    args = {**ok, **change}
    with pytest.raises(exc, match=re.escape(message) + "$"):
        ROUTINES[routine](**args)
    if "verb" in change:
        return  # the diagnostic entry point has no verb argument
    with pytest.raises(exc, match=re.escape(message) + "$"):
        demeankit._demean_stats(args["Z"], args["w"], args["panelmat"], args["tol"], args["minsubiter"],
                                args["maxsubiter"], routine == "accel", args["nt"])


def test_good_arguments_of_the_bad_argument_table_work():
    ok, _ = map_cases()
    for fn in ROUTINES.values():
        got = fn(**ok)
        assert np.allclose(got, dense_residual(ok["Z"], [np.arange(10) % 3], None), atol=1e-9)


# ---------------------------------------------------------------- panelsetup


def reference_ranges(sorted_codes, G):
    first = np.searchsorted(sorted_codes, np.arange(G), side="left")
    last = np.searchsorted(sorted_codes, np.arange(G), side="right") - 1
    return np.column_stack([first, last])


@pytest.mark.parametrize("codes", [
    [0, 0, 1, 1, 1, 2],
    [0, 2, 2, 5],          # groups 1, 3 and 4 are empty
    [3, 3, 3],             # leading empty groups
    [0],
])
def test_panelsetup_ranges(codes):
    codes = np.asarray(codes, dtype=np.int64)
    G = int(codes.max()) + 2  # one trailing empty group as well
    panel = np.zeros((G, 2), dtype=np.int64)
    assert demeankit.panelsetup(panel, codes, len(codes), G) is None
    assert np.array_equal(panel, reference_ranges(codes, G))
    # Positions of each non-empty group hold exactly its code; empty ones are (p, p - 1).
    for g in range(G):
        first, last = panel[g]
        assert np.all(codes[first:last + 1] == g) and last >= first - 1


def test_panelsetup_random_and_numpy_integer_counts():
    rng = np.random.default_rng(5)
    codes = np.sort(rng.integers(0, 50, 1000)).astype(np.int64)
    G = codes.max() + 1  # a NumPy integer, as make_pointer passes it
    panel = np.zeros((G, 2), dtype=np.int64)
    demeankit.panelsetup(panel, codes, np.int64(1000), G)
    assert np.array_equal(panel, reference_ranges(codes, G))


@pytest.mark.parametrize("panel, column, N, G, exc, message", [
    (np.zeros((3, 2), np.int32), [0, 1, 2], 3, 3, TypeError, "panel must be an int64 array"),
    (np.zeros((2, 2), np.int64), [0, 1, 2], 3, 3, ValueError, "panel must have shape (G, 2) = (3, 2)"),
    (np.zeros((3, 2), np.int64), [0, 2, 1], 3, 3, ValueError, "column must list the group codes in ascending order"),
    (np.zeros((3, 2), np.int64), [0, 1, 3], 3, 3, ValueError, "column has group codes outside [0, G) = [0, 3)"),
    (np.zeros((3, 2), np.int64), [-1, 1, 2], 3, 3, ValueError, "column has group codes outside [0, G) = [0, 3)"),
    (np.zeros((3, 2), np.int64), [0, 1], 3, 3, ValueError, "column has length 2, expected 3"),
    (np.zeros((3, 2), np.int64), [0.0, 1.0, 2.0], 3, 3, TypeError, "column must be an integer array"),
    (np.zeros((3, 2), np.int64), [0, 1, 2], 3.0, 3, TypeError, "N must be an integer"),
])
def test_panelsetup_bad_arguments(panel, column, N, G, exc, message):
    before = panel.copy()
    with pytest.raises(exc, match=re.escape(message) + "$"):
        demeankit.panelsetup(panel, np.asarray(column), N, G)
    assert np.array_equal(panel, before)


def test_panelsetup_needs_writable_panel():
    panel = np.zeros((2, 2), np.int64)
    panel.flags.writeable = False
    with pytest.raises(ValueError, match=re.escape("panel must be writable")):
        demeankit.panelsetup(panel, np.array([0, 1]), 2, 2)


# ---------------------------------------------------------------- calc_B


def cluster_inputs(n=400, K=3, G=37, seed=2):
    rng = np.random.default_rng(seed)
    clusters = rng.integers(0, G, n)
    Z = rng.normal(size=(n, 1 + K))
    e = rng.normal(size=(n, 1))
    order = np.argsort(clusters)
    panel = np.zeros((G, 2), np.int64)
    demeankit.panelsetup(panel, clusters[order], n, G)
    return clusters, Z, e, order, panel


def reference_meat(clusters, Z, e, G):
    scores = np.zeros((G, Z.shape[1] - 1))
    np.add.at(scores, clusters, e.reshape(-1, 1) * Z[:, 1:])
    return scores.T @ scores


@pytest.mark.parametrize("K", [0, 1, 3, 6])
def test_calc_B_adds_cluster_score_products(K):
    G = 1500  # spans more than one block of clusters
    clusters, Z, e, order, panel = cluster_inputs(n=5000, K=K, G=G)
    start = np.arange(K * K, dtype=float).reshape(K, K)
    B = start.copy()
    Zc, ec = Z.copy(), e.copy()
    assert demeankit.calc_B(B, Z, e, order, panel, G, K) is None
    ref = reference_meat(clusters, Z, e, G)
    assert np.allclose(B - start, ref, rtol=1e-12, atol=1e-12)
    assert np.array_equal(Z, Zc) and np.array_equal(e, ec)
    # A 1-D residual vector gives the same sums.
    B1 = np.zeros((K, K))
    demeankit.calc_B(B1, Z, e.ravel(), order, panel, G, K)
    assert np.allclose(B1, ref, rtol=1e-12, atol=1e-12)


def test_calc_B_bad_arguments():
    clusters, Z, e, order, panel = cluster_inputs()
    G, K = panel.shape[0], Z.shape[1] - 1
    B = np.zeros((K, K))
    bad_order = order.copy()
    bad_order[0] = len(order)
    bad_panel = panel.copy()
    bad_panel[-1, 1] = len(order)
    cases = [
        ((np.zeros((K, K), np.float32), Z, e, order, panel, G, K), TypeError, "B must be a float64 array"),
        ((np.zeros((K, K + 1)), Z, e, order, panel, G, K), ValueError, "B must have shape (K, K) = (3, 3)"),
        ((B, Z[:, :3], e, order, panel, G, K), ValueError, "Z must have 1 + K = 4 columns"),
        ((B, Z, e[:-1], order, panel, G, K), ValueError, f"e must have length N ({len(Z)}), got {len(Z) - 1}"),
        ((B, Z, e, order[:-1], panel, G, K), ValueError, f"order has length {len(Z) - 1}, expected {len(Z)}"),
        ((B, Z, e, bad_order, panel, G, K), ValueError, f"order has positions out of range [0, {len(Z)})"),
        ((B, Z, e, order, bad_panel, G, K), ValueError, "panel: panel positions out of range"),
        ((B, Z, e, order, panel, G + 1, K), ValueError, f"panel must have shape (G, 2) = ({G + 1}, 2)"),
        ((B, Z, e, order, panel.astype(float), G, K), TypeError, "panel must be an int64 array"),
    ]
    for args, exc, message in cases:
        with pytest.raises(exc, match=re.escape(message) + "$"):
            demeankit.calc_B(*args)
    assert np.all(B == 0)


# ---------------------------------------------------------------- singletons and separation


def reference_keep(y, fes, mask, zero_groups):
    """Drop until stable, one fixed effect at a time, with bincount."""
    keep = mask != 0
    while True:
        before = keep.copy()
        for codes in fes:
            G = codes.max() + 1
            members = np.bincount(codes[keep], minlength=G)
            drop = members[codes] == 1
            if zero_groups:
                nonzero = np.bincount(codes[keep], weights=(y[keep] != 0), minlength=G)
                drop |= nonzero[codes] == 0
            keep &= ~drop
        if np.array_equal(keep, before):
            return keep


KERNELS = {"drop_singletons": (demeankit.drop_singletons, False), "sep": (demeankit.sep, True)}


@pytest.mark.parametrize("kernel", sorted(KERNELS))
@pytest.mark.parametrize("seed", range(6))
def test_removal_matches_reference(kernel, seed):
    fn, zero_groups = KERNELS[kernel]
    rng = np.random.default_rng(seed)
    n = 300
    nfe = 1 + seed % 3
    fes = [dense_codes(rng.integers(0, rng.integers(20, 150), n)) for _ in range(nfe)]
    y = np.where(rng.random(n) < 0.6, 0.0, rng.exponential(size=n))
    mask = np.ones(n, np.int64)
    if seed % 2:
        mask[rng.random(n) < 0.1] = 0
    mask_before = mask.copy()
    panelmat = grpkit.make_pointer(np.column_stack(fes))
    got = fn(y.copy(), panelmat, mask)
    assert got.dtype == np.int64 and got.shape == (n,)
    assert np.array_equal(got != 0, reference_keep(y, fes, mask, zero_groups))
    assert np.array_equal(mask, mask_before)
    assert not np.array_equal(got != 0, mask != 0)  # the data do contain something to drop


def test_singleton_cascade():
    # Dropping the lone b=0 observation leaves a=0 with one member, and so on
    # down the chain; only the last two observations survive.
    a = np.array([0, 0, 1, 1, 2, 2])
    b = np.array([0, 1, 1, 2, 2, 2])
    panelmat = grpkit.make_pointer(np.column_stack([a, b]))
    got = demeankit.drop_singletons(np.ones(6), panelmat, np.ones(6, np.int64))
    assert got.tolist() == [0, 0, 0, 0, 1, 1]


def test_zero_group_cascade():
    # a=0 has only zeros; removing it leaves b=1 and then a=1 with a single
    # observation. Without the zero rule nothing is a singleton.
    a = np.array([0, 0, 1, 1, 2, 2, 3, 3])
    b = np.array([0, 1, 1, 2, 2, 2, 0, 0])
    y = np.array([0.0, 0.0, 3.0, 1.0, 2.0, 5.0, 4.0, 1.0])
    panelmat = grpkit.make_pointer(np.column_stack([a, b]))
    ones = np.ones(8, np.int64)
    assert demeankit.sep(y, panelmat, ones).tolist() == [0, 0, 0, 0, 1, 1, 1, 1]
    assert demeankit.drop_singletons(y, panelmat, ones).tolist() == [1] * 8
    assert np.array_equal(reference_keep(y, [a, b], ones, True), demeankit.sep(y, panelmat, ones) != 0)


def test_removal_bad_arguments():
    pm, _ = small_panelmat()
    y, mask = np.ones(10), np.ones(10, np.int64)
    cases = [
        ((y.astype(np.float32), pm, mask), TypeError, "y must be a float64 array"),
        ((y, pm, mask[:9]), ValueError, "mask has length 9, expected 10"),
        ((y, pm, mask.astype(float)), TypeError, "mask must be an integer array"),
        ((y[:9], pm, mask[:9]), ValueError, "panelmat[0, 0] sort order has length 10, expected 9"),
        ((y, "pm", mask), ValueError, "panelmat must be a (2, k) object array"),
    ]
    for fn in (demeankit.drop_singletons, demeankit.sep):
        for args, exc, message in cases:
            with pytest.raises(exc, match=re.escape(message) + "$"):
                fn(*args)


@pytest.mark.parametrize("routine", sorted(ROUTINES))
def test_fixed_effect_order_is_irrelevant(design, routine):
    fes, Z, w = design
    fn = ROUTINES[routine]
    for pair in ([0, 1], [1, 2], [0, 2]):
        forward = fn(Z, w, grpkit.make_pointer(np.column_stack([fes[k] for k in pair])), 1e-13, 0, 100000, 0, 1)
        backward = fn(Z, w, grpkit.make_pointer(np.column_stack([fes[k] for k in pair[::-1]])), 1e-13, 0, 100000, 0, 1)
        assert np.allclose(forward, backward, rtol=0, atol=1e-9 * np.abs(Z).max())


@pytest.mark.parametrize("routine", sorted(ROUTINES))
@pytest.mark.parametrize("nfe", [1, 2, 3])
def test_zero_weights(design, routine, nfe):
    # Observations without weight do not enter the fit; a group whose weight
    # is all zero simply keeps its data. Fitted values are unique on the
    # positive-weight rows, so that is where the dense fit is compared.
    fes, Z, w = design
    w0 = w.copy()
    w0[::7] = 0.0
    w0[fes[0] == fes[0].max()] = 0.0
    panelmat = grpkit.make_pointer(np.column_stack(fes[:nfe]))
    got = ROUTINES[routine](Z, w0, panelmat, 1e-13, 0, 100000, 0, 1)
    pos = w0 > 0
    ref = dense_residual(Z[pos], [dense_codes(f[pos]) for f in fes[:nfe]], w0[pos])
    assert np.all(np.isfinite(got))
    assert np.abs(got[pos] - ref).max() <= 1e-8 * np.abs(Z).max()


@pytest.mark.parametrize("routine", sorted(ROUTINES))
@pytest.mark.parametrize("repeat", [1, 3])
@pytest.mark.parametrize("weighted", [False, True])
def test_two_way_cells_distinct_or_repeated(routine, repeat, weighted):
    # Every (a, b) pair once, or each pair `repeat` times, in shuffled row order.
    rng = np.random.default_rng(11)
    a = np.repeat(np.arange(60), 6)
    b = (np.arange(360) % 6) + 6 * (a % 4)
    a, b = np.tile(a, repeat), np.tile(b, repeat)
    perm = rng.permutation(len(a))
    a, b = a[perm], b[perm]
    Z = rng.normal(size=(len(a), 2)) + np.column_stack([a * 0.1, np.cos(b)])
    w = rng.uniform(0.2, 3.0, len(a)) if weighted else None
    panelmat = grpkit.make_pointer(np.column_stack([a, b]))
    got = ROUTINES[routine](Z, w, panelmat, 1e-13, 0, 100000, 0, 1)
    ref = dense_residual(Z, [a, b], w)
    assert np.abs(got - ref).max() <= 1e-9 * np.abs(Z).max()


def test_other_integer_widths_of_sort_orders_and_masks(design):
    fes, Z, w = design
    pm = grpkit.make_pointer(np.column_stack(fes[:2]))
    narrow = np.empty((2, 2), dtype=object)
    for j in range(2):
        narrow[0, j] = pm[0, j].astype(np.int32)
        narrow[1, j] = pm[1, j]
    for fn in ROUTINES.values():
        assert np.array_equal(fn(Z, w, narrow, 1e-10, 0, 1000, 0, 1), fn(Z, w, pm, 1e-10, 0, 1000, 0, 1))
    y = np.where(np.arange(len(Z)) % 3 == 0, 0.0, 1.0)
    mask = np.ones(len(Z), np.int64)
    mask[:40] = 0
    for fn in (demeankit.drop_singletons, demeankit.sep):
        ref = fn(y, pm, mask)
        assert np.array_equal(fn(y, narrow, mask.astype(np.uint8)), ref)
        assert np.array_equal(fn(y, pm, mask.astype(bool)), ref)
    # 32-bit orders are read in place, so they get the same structure checks.
    broken = narrow.copy()
    broken[0, 1] = narrow[0, 1].copy()
    broken[0, 1][5] = broken[0, 1][6]
    for fn in ROUTINES.values():
        with pytest.raises(ValueError, match=re.escape("panelmat[0, 1] sort order is not a permutation")):
            fn(Z, w, broken, 1e-10, 0, 1000, 0, 1)
