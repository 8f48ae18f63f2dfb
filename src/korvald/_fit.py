"""The result object of ``feols`` and ``fepois``.

It labels what the estimator returned and adds predictions; every number
comes from the estimator's result (``fit.result``, kept unchanged) or from a
further estimator call (recovered fixed effects, the within R-squared) made
on first request.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from scipy import special, stats

from ._capture import captured_stdout
from ._formula import ModelFrame, ParsedFormula, regressor_matrix


class Fit:
    """A fitted ``feols`` (OLS) or ``fepois`` (PPML) model.

    Attributes
    ----------
    result : types.SimpleNamespace
        The estimator's result, unchanged (``params`` is indexed 0..K-1 over
        the regressors kept; the methods below label everything by name).
    method : str
        "feols" or "fepois".
    fml : str
        The formula as given.
    depvar : str
        The dependent variable's column name in the model.
    coefnames : list of str
        Every regressor column the formula produced, in order.
    omitted : list of str
        Regressors the estimator dropped as collinear (with the fixed effects
        or with each other); they are absent from ``coef()`` and the like.
    fixef_terms : list of str
        The fixed effects as written, interactions as ``a^b``.
    vcov_type : str
        "iid", "hetero" or "CRV1: <clusters>".
    nobs : int
        Observations used by the estimator.
    """

    def __init__(self, method: str, parsed: ParsedFormula, model: ModelFrame, result: Any, summary_text: str,
                 vcov_type: str, estimator: Any, call: dict[str, Any], offset: str | None):
        self.result = result
        self.method = method
        self.fml = parsed.text
        self.depvar = model.depvar
        self.coefnames = list(model.regressors)
        kept = [str(name) for name in result.model.exog_names]
        self.omitted = [name for name in self.coefnames if name not in kept]
        self.fixef_terms = [term.name for term in parsed.fixef]
        self.vcov_type = vcov_type
        self.nobs = int(result.nobs)
        self._kept = kept
        self._fixef = parsed.fixef
        self._model = model
        self._summary = summary_text
        self._estimator = estimator
        self._call = call
        self._offset = offset
        self._cache: dict[str, Any] = {}

    # ---- labelled estimates -------------------------------------------------
    def _series(self, values: Any, name: str) -> pd.Series:
        return pd.Series(np.ravel(np.asarray(values, dtype=np.float64)), index=pd.Index(self._kept), name=name)

    @property
    def _is_ols(self) -> bool:
        return self.method == "feols"

    def coef(self) -> pd.Series:
        """Coefficients.

        Returns
        -------
        pandas.Series
            Indexed by regressor name; omitted regressors are absent.
        """
        return self._series(self.result.params, "Estimate")

    def se(self) -> pd.Series:
        """Standard errors of the type in ``vcov_type``.

        Returns
        -------
        pandas.Series
            Indexed by regressor name.
        """
        return self._series(self.result.bse, "Std. Error")

    def tstat(self) -> pd.Series:
        """Test statistics of the coefficients.

        Returns
        -------
        pandas.Series
            t statistics (OLS) or z statistics (PPML), indexed by regressor name.
        """
        return self._series(self.result.tvalues, "t value" if self._is_ols else "z value")

    def pvalue(self) -> pd.Series:
        """Two-sided p-values.

        Returns
        -------
        pandas.Series
            Student t with the estimator's degrees of freedom (OLS; G - 1 when
            clustered) or normal (PPML), indexed by regressor name.
        """
        return self._series(self.result.pvalues, "Pr(>|t|)" if self._is_ols else "Pr(>|z|)")

    def vcov(self) -> pd.DataFrame:
        """Coefficient covariance matrix.

        Returns
        -------
        pandas.DataFrame
            K x K, rows and columns labelled by regressor name.
        """
        return pd.DataFrame(np.asarray(self.result.covmat, dtype=np.float64), index=self._kept, columns=self._kept)

    def _critical_value(self, level: float) -> float:
        if not (isinstance(level, (int, float)) and 0 < level < 1):
            raise ValueError(f"level must be a number between 0 and 1, got {level!r}")
        q = 0.5 + level / 2
        if not self._is_ols:
            return float(stats.norm.ppf(q))
        df = getattr(self.result, "df_resid_inference", None)
        return float(stats.t.ppf(q, self.result.df_resid if df is None else df))

    def confint(self, level: float = 0.95) -> pd.DataFrame:
        """Confidence intervals, the same distribution and degrees of freedom as the p-values.

        Parameters
        ----------
        level : float, default 0.95
            Coverage, strictly between 0 and 1.

        Returns
        -------
        pandas.DataFrame
            Columns with the lower and upper percentage points (e.g. "2.5%",
            "97.5%"), one row per regressor.

        Raises
        ------
        ValueError
            When `level` is not in (0, 1).
        """
        crit = self._critical_value(level)
        b, s = self.coef(), self.se()
        lo, hi = f"{50 * (1 - level):g}%", f"{100 - 50 * (1 - level):g}%"
        return pd.DataFrame({lo: b - crit * s, hi: b + crit * s})

    def tidy(self, level: float = 0.95) -> pd.DataFrame:
        """Estimates and inference in one table.

        Parameters
        ----------
        level : float, default 0.95
            Coverage of the interval.

        Returns
        -------
        pandas.DataFrame
            One row per regressor; columns estimate, std.error, statistic,
            p.value, conf.low, conf.high.
        """
        ci = self.confint(level)
        return pd.DataFrame({"estimate": self.coef(), "std.error": self.se(), "statistic": self.tstat(),
                             "p.value": self.pvalue(), "conf.low": ci.iloc[:, 0], "conf.high": ci.iloc[:, 1]})

    # ---- per-observation outputs -------------------------------------------
    def _to_caller(self, series: pd.Series) -> pd.Series:
        out = series.copy()
        if self._model.labels is not None:
            out.index = self._model.labels[series.index.to_numpy()]
        return out

    def resid(self) -> pd.Series:
        """Residuals.

        Returns
        -------
        pandas.Series
            y - fitted (response residuals for PPML) for the rows of the
            estimation sample, indexed by the caller's row labels.
        """
        return self._to_caller(self.result.resid if self._is_ols else self.result.resid_additive)

    def fitted(self) -> pd.Series:
        """Fitted values.

        Returns
        -------
        pandas.Series
            Fitted values (OLS) or means (PPML) for the rows of the
            estimation sample, indexed by the caller's row labels.
        """
        return self._to_caller(self.result.fittedvalues)

    def _sample(self) -> pd.DataFrame:
        return self._model.frame.loc[self.result.fittedvalues.index]

    # ---- fit statistics ----------------------------------------------------
    @property
    def deviance(self) -> float:
        """Residual sum of squares (OLS) or Poisson deviance (PPML)."""
        return float(self.result.deviance)

    @property
    def loglik(self) -> float:
        """Log likelihood (Gaussian, OLS) or log pseudo-likelihood (PPML)."""
        return float(self.result.llf)

    def _weights(self) -> np.ndarray | None:
        """The estimation sample's observation weights as the estimator uses them, or None.

        Frequency weights count rows; analytic and probability weights are
        scaled to sum to the number of rows, as the estimators do.
        """
        names = self._call.get("weights")
        if names is None:
            return None
        w = self._sample()[names[0]].to_numpy(dtype=float)
        if self._call.get("weight_type", "aweight") != "fweight":
            w = w * (len(w) / w.sum())
        return w

    @property
    def r2(self) -> float | None:
        """R-squared of the full model (OLS; weighted when the fit is); None for PPML (see ``pseudo_r2``)."""
        if not self._is_ols:
            return None
        y = self._sample()[self.depvar].to_numpy()
        w = self._weights()
        w = np.ones_like(y) if w is None else w
        e = self.result.resid.to_numpy()
        ybar = np.sum(w * y) / np.sum(w)
        return 1.0 - float(np.sum(w * e * e)) / float(np.sum(w * np.square(y - ybar)))

    @property
    def r2_within(self) -> float | None:
        """R-squared of the model with the fixed effects partialled out (OLS); None for PPML.

        Needs the partialled-out dependent variable, so the first request
        runs the estimator once more on the dependent variable alone.
        Weighted when the fit is.
        """
        if not self._is_ols:
            return None
        if not self._fixef:
            return self.r2
        if "r2_within" not in self._cache:
            call = {k: v for k, v in self._call.items() if k not in ("x", "setype", "clustvars", "FEgen", "verb")}
            call["data"] = self._sample()
            partialled = self._quiet_run(call, x=[], setype="none")
            w = self._weights()
            r0 = partialled.resid.to_numpy()
            r1 = self.result.resid.to_numpy()
            w = np.ones_like(r1) if w is None else w
            tss = float(np.sum(w * r0 * r0))
            rss = float(np.sum(w * r1 * r1))
            self._cache["r2_within"] = 1.0 - rss / tss if tss > 0 else 0.0
        return self._cache["r2_within"]

    @property
    def pseudo_r2(self) -> float | None:
        """McFadden pseudo R-squared 1 - llf / llf(constant only), as in the summary (PPML).

        Weighted when the fit is; None for OLS.
        """
        if self._is_ols:
            return None
        y = self._sample()[self.depvar].to_numpy()
        w = self._weights()
        w = np.ones_like(y, dtype=float) if w is None else w
        ybar = np.sum(w * y) / np.sum(w)
        ll_null = float(np.sum(w * (y * np.log(ybar) - ybar - special.gammaln(y + 1))))
        return 1.0 - self.loglik / ll_null if ll_null != 0 else 0.0

    @property
    def msg(self) -> list[str]:
        """The estimator's messages, preceded by a note on rows dropped for missing formula values."""
        notes = []
        if self._model.n_dropped:
            notes.append(f"{self._model.n_dropped} observation(s) dropped for missing values in the formula's "
                         "variables")
        return notes + list(self.result.msg)

    # ---- fixed effects and prediction --------------------------------------
    def _quiet_run(self, call: dict[str, Any], **changes: Any) -> Any:
        with captured_stdout():
            return self._estimator(**{**call, **changes, "print_stata_style_summary": False, "verb": 0})

    def fixef(self) -> dict[str, Any]:
        """The recovered fixed effects, one Series per term indexed by its levels, and the constant.

        Each fixed effect is normalized to mean zero over the estimation
        sample (weighted by the fitted means for PPML) and the constant
        ``"_cons"`` collects the rest, so for any row the linear predictor is
        ``X @ coef() + _cons + sum of its levels' effects`` (plus the offset).
        When the fit was not run with ``FEgen=True``, the first call runs the
        estimator once more with it.

        Returns
        -------
        dict
            ``{term: Series, ..., "_cons": float}``; an interaction ``a^b`` is
            indexed by a MultiIndex of (a, b). A model without fixed effects
            gives ``{"_cons": constant}``.
        """
        if "fixef" in self._cache:
            return self._cache["fixef"]
        if not self._fixef:
            out: dict[str, Any] = {"_cons": float(self.result.cons)}
        else:
            res = self.result if hasattr(self.result, "fixed_effects") else self._quiet_run(self._call, FEgen=True)
            effects = res.fixed_effects
            out = {}
            for term in self._fixef:
                per_row = effects[term.spec]
                names = list(term.variables)
                table = self._model.frame.loc[per_row.index, names].copy()
                table["__effect__"] = per_row.to_numpy()
                table = table.drop_duplicates(subset=names).sort_values(names)
                index = pd.Index(table[names[0]]) if len(names) == 1 else pd.MultiIndex.from_frame(table[names])
                out[term.name] = pd.Series(table["__effect__"].to_numpy(), index=index, name=term.name)
            out["_cons"] = float(effects["_cons"])
        self._cache["fixef"] = out
        return out

    def predict(self, newdata: pd.DataFrame | None = None, type: str = "response") -> pd.Series:
        """Predictions for new rows, including the fixed effects.

        Parameters
        ----------
        newdata : pandas.DataFrame, optional
            Rows to predict, holding the formula's regressor variables, the
            fixed-effect columns and the offset column (PPML with offset).
            None: the fitted values of the estimation sample.
        type : {"response", "link"}, default "response"
            "response": the linear predictor (OLS) or the expected count
            exp(linear predictor) (PPML); "link": the linear predictor.

        Returns
        -------
        pandas.Series
            Indexed like `newdata`. A row whose fixed-effect level does not
            occur in the estimation sample, or with a missing regressor
            variable, gets NaN.

        Raises
        ------
        ValueError
            For a missing fixed-effect or offset column, a categorical
            regressor level not seen in the estimation sample, or a bad
            `type`.
        """
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', not {type!r}")
        if newdata is None:
            fitted = self.fitted()
            return fitted if self._is_ols or type == "response" else np.log(fitted)
        if not isinstance(newdata, pd.DataFrame):
            raise TypeError(f"newdata must be a pandas DataFrame, not {newdata.__class__.__name__}")
        needed = [v for term in self._fixef for v in term.variables] + ([self._offset] if self._offset else [])
        missing = [v for v in dict.fromkeys(needed) if v not in newdata.columns]
        if missing:
            raise ValueError(f"newdata lacks the fixed-effect/offset column(s) {missing}")
        X = regressor_matrix(self._model, newdata, self._kept)
        eta = X.to_numpy() @ self.coef().to_numpy() if self._kept else np.zeros(len(newdata))
        effects = self.fixef()
        eta = eta + effects["_cons"]
        for term in self._fixef:
            levels = effects[term.name]
            names = list(term.variables)
            keys = newdata[names[0]] if len(names) == 1 else pd.MultiIndex.from_frame(newdata[names])
            pos = levels.index.get_indexer(keys)
            eta = eta + np.where(pos >= 0, levels.to_numpy()[pos], np.nan)
        if self._offset:
            eta = eta + newdata[self._offset].to_numpy(dtype=np.float64)
        values = np.exp(eta) if not self._is_ols and type == "response" else eta
        return pd.Series(values, index=newdata.index, name="prediction")

    # ---- printing ----------------------------------------------------------
    def summary(self) -> None:
        """Print the estimator's 80-column summary table of this fit.

        The estimator renders the table during the fit; the front end keeps
        that text instead of printing it, so this costs nothing.
        """
        print(self._summary, end="")

    def __repr__(self) -> str:
        kind = "OLS" if self._is_ols else "PPML"
        lines = [f"{self.method}: {self.fml}",
                 f"{kind}, N = {self.nobs:,}, vcov: {self.vcov_type}"
                 + (f", fixed effects: {', '.join(self.fixef_terms)}" if self.fixef_terms else "")]
        if self._kept:
            table = pd.DataFrame({"Estimate": self.coef(), "Std. Error": self.se()})
            lines.append(table.to_string(float_format=lambda v: f"{v:.6g}"))
        if self.omitted:
            lines.append(f"omitted (collinear): {', '.join(self.omitted)}")
        return "\n".join(lines)
