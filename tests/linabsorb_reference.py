"""Brute-force reference for the linear estimator's tests: explicit dummy
variables, dense projections and textbook covariance formulas in NumPy, on
small data only. Nothing here calls korvald."""

import itertools

import numpy as np
import pandas as pd
from scipy import stats


def make_panel(n=240, seed=0, n_firm=25, n_year=6, n_region=4, singletons=3):
    """Unbalanced panel with three crossed factors, two regressors correlated
    with the firm effect, and a few observations alone in their firm."""
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, n_firm, n)
    year = rng.integers(0, n_year, n)
    region = rng.integers(0, n_region, n)
    # observations alone in their firm (dropped as singletons)
    firm[:singletons] = n_firm + np.arange(singletons)
    a_firm = rng.normal(size=n_firm + singletons)
    a_ry = rng.normal(size=(n_region, n_year))
    x1 = rng.normal(size=n) + 0.5 * a_firm[firm]
    x2 = rng.normal(size=n) + 0.3 * year
    y = 1.5 + 0.7 * x1 - 0.4 * x2 + a_firm[firm] + a_ry[region, year] + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "firm": firm * 7 + 3, "year": 2000 + year,
                         "region": region})


def spec_codes(df, spec):
    """Group codes 0..G-1 of a specification ("a" or "a#b") in sorted key order."""
    cols = spec.split("#")
    keys = [tuple(row) for row in df[cols].itertuples(index=False)]
    levels = sorted(set(keys))
    lookup = {k: i for i, k in enumerate(levels)}
    return np.array([lookup[k] for k in keys], dtype=np.int64)


def drop_singletons(df, specs):
    """Repeatedly remove observations alone in a group of some specification."""
    keep = np.ones(len(df), dtype=bool)
    while True:
        changed = False
        for spec in specs:
            codes = spec_codes(df[keep], spec)
            counts = np.bincount(codes)
            alone = counts[codes] == 1
            if alone.any():
                idx = np.flatnonzero(keep)[alone]
                keep[idx] = False
                changed = True
        if not changed:
            return df[keep]


def dummies(df, specs):
    """N x sum(G) matrix of group indicators; a column of ones without specs."""
    if not specs:
        return np.ones((len(df), 1))
    blocks = []
    for spec in specs:
        codes = spec_codes(df, spec)
        block = np.zeros((len(df), codes.max() + 1))
        block[np.arange(len(df)), codes] = 1.0
        blocks.append(block)
    return np.hstack(blocks)


def annihilate(D, M):
    """M minus its least-squares projection on the columns of D."""
    coef = np.linalg.lstsq(D, M, rcond=None)[0]
    return M - D @ coef


class Reference:
    """OLS with explicit fixed-effect dummies on the sample the estimator should use."""

    def __init__(self, df, y, x, specs, setype="none", clustvars=None, total_nonredundant_fe=None):
        self.df = df
        self.specs = list(specs)
        D = dummies(df, self.specs)
        X = df[x].to_numpy(float).reshape(len(df), len(x))
        yv = df[y].to_numpy(float)
        full = np.linalg.lstsq(np.hstack([X, D]), yv, rcond=None)[0]
        self.beta = full[: len(x)]
        self.N, self.K = len(df), len(x)
        self.Xt = annihilate(D, X)
        self.yt = annihilate(D, yv)
        self.resid = self.yt - self.Xt @ self.beta
        self.N_FE = sum(spec_codes(df, s).max() + 1 for s in self.specs) if self.specs else 1
        self.tnfe = self.N_FE if total_nonredundant_fe is None else total_nonredundant_fe
        self.X, self.yv = X, yv
        if setype != "none":
            self._inference(setype, clustvars)

    def _inference(self, setype, clustvars):
        N, K, tnfe = self.N, self.K, self.tnfe
        Xt, r = self.Xt, self.resid
        bread = np.linalg.inv(Xt.T @ Xt)
        Xbar = self.X.mean(axis=0)
        self.cons = self.yv.mean() - Xbar @ self.beta
        w = 1.0 / N - Xt @ (bread @ Xbar)
        wr = w * r
        if setype == "homoskedastic":
            s2 = r @ r / (N - K - tnfe)
            cov = s2 * bread
            cons_var = s2 * np.sum(w ** 2)
            self.df_inf = N - K - tnfe
        elif setype == "heteroskedastic":
            h = N / (N - K - tnfe)
            meat = (Xt * r[:, None] ** 2).T @ Xt
            cov = h * bread @ meat @ bread
            cons_var = h * np.sum(wr ** 2)
            self.df_inf = N - K - tnfe
        else:
            subsets = [list(c) for k in range(1, len(clustvars) + 1)
                       for c in itertools.combinations(clustvars, k)]
            codes = [spec_codes(self.df, "#".join(s)) for s in subsets]
            self.N_cluster = [int(c.max() + 1) for c in codes]
            min_G = min(self.N_cluster)
            corr = min_G / (min_G - 1)
            meat = np.zeros((K, K))
            cons_var = 0.0
            for s, c in zip(subsets, codes):
                sign = 1.0 if len(s) % 2 == 1 else -1.0
                # explicit cluster-indicator matrix: scores summed by dummies
                C = np.zeros((self.N, c.max() + 1))
                C[np.arange(self.N), c] = 1.0
                scores = C.T @ (Xt * r[:, None])
                meat += sign * corr * scores.T @ scores
                cons_var += sign * corr * np.sum((C.T @ wr) ** 2)
            cov = bread @ meat @ bread
            self.df_inf = min_G - 1
        self.covmat = cov
        self.se = np.sqrt(np.diag(cov))
        self.t = self.beta / self.se
        self.p = 2 * stats.t.cdf(-np.abs(self.t), self.df_inf)
        self.cons_se = np.sqrt(cons_var)
        self.cons_t = self.cons / self.cons_se
        self.cons_p = 2 * stats.t.cdf(-abs(self.cons_t), self.df_inf)
