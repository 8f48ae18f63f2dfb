"""Independent references for the Poisson estimator tests: generated panels
and Poisson GLM fits with explicit dummy variables (statsmodels), plus the
sandwich pieces computed from the full dummy design."""

import numpy as np
import pandas as pd
import statsmodels.api as sm


def make_panel(n=240, seed=0, with_offset=False, scale_x2=1.0):
    """Two crossed fixed effects ("a#b" interaction and "c"), three regressors,
    a cluster-friendly structure, and caller row labels that are not 0..n-1."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(
        {
            "a": rng.integers(0, 4, n),
            "b": rng.integers(0, 3, n),
            "c": rng.integers(0, 5, n),
            "x1": rng.normal(size=n),
            "x2": rng.normal(1.0, 2.0, size=n) * scale_x2,
            "x3": rng.uniform(-1, 1, size=n),
        }
    )
    fe_ab = 0.25 * np.sin(df["a"] * 3 + df["b"])
    fe_c = 0.2 * np.cos(df["c"])
    eta = 0.4 + 0.3 * df["x1"] - 0.1 * df["x2"] / scale_x2 + 0.5 * df["x3"] + fe_ab + fe_c
    if with_offset:
        df["lexp"] = rng.uniform(-0.5, 0.5, size=n)
        eta = eta + df["lexp"]
    df["y"] = rng.poisson(np.exp(eta)).astype(float)
    df.index = pd.Index(10_000 + rng.permutation(n) * 3, name="row")
    return df


def dummy_block(df, specs):
    """Dummy columns for the fixed-effect specifications: all levels of the first
    one (it plays the role of the constant), all but one level of each other."""
    blocks = []
    for i, spec in enumerate(specs):
        cols = spec.split("#")
        codes = df.groupby(cols, sort=True).ngroup().to_numpy()
        d = np.zeros((len(df), codes.max() + 1))
        d[np.arange(len(df)), codes] = 1.0
        blocks.append(d if i == 0 else d[:, 1:])
    if not blocks:
        return np.ones((len(df), 1))
    return np.hstack(blocks)


def glm_fit(df, x, specs, offset=None):
    """Poisson GLM of y on x plus explicit fixed-effect dummies. Returns
    (coefficients of x, fitted means, full design, fitted statsmodels result)."""
    X = df[x].to_numpy(dtype=float) if x else np.zeros((len(df), 0))
    design = np.hstack([X, dummy_block(df, specs)])
    off = None if offset is None else df[offset].to_numpy(dtype=float)
    res = sm.GLM(df["y"].to_numpy(), design, family=sm.families.Poisson(), offset=off).fit(
        method="newton", tol=1e-13, maxiter=200
    )
    return res.params[: len(x)], res.mu, design, res


def influence_rows(design, mu, K):
    """Rows of (D'WD)^-1 d_i restricted to the K regressor coefficients: the
    linearised contribution of observation i to beta, per unit residual."""
    A = design.T @ (design * mu[:, None])
    return (np.linalg.inv(A) @ design.T).T[:, :K]


def cluster_sandwich(infl, resid, frame, cols):
    """sum_g s_g s_g' with s_g = sum_{i in g} infl_i resid_i, the clusters being the
    distinct value combinations of `cols` in `frame`; also returns the cluster count."""
    codes = frame.groupby(cols, sort=True).ngroup().to_numpy()
    S = np.zeros((codes.max() + 1, infl.shape[1]))
    np.add.at(S, codes, infl * resid[:, None])
    return S.T @ S, codes.max() + 1
