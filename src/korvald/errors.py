"""Warning classes of korvald."""


class ConvergenceWarning(RuntimeWarning):
    """An iterative step stopped before meeting its convergence criterion.

    Issued when the partialling-out of the fixed effects stops at its iteration
    cap (or can make no further progress) before reaching the tolerance it was
    given, and when the Poisson IRLS loop has to restart from a different
    starting point. The estimate is then less accurate than requested; the
    estimators also record a line in ``result.msg``.

    Turn it into an exception with::

        import warnings, korvald
        warnings.simplefilter("error", korvald.ConvergenceWarning)
    """
