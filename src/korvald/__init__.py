"""korvald: linear and Poisson regressions with high-dimensional fixed effects."""

__version__ = "0.1.0"

from ._estimators import linabsorb, poisabsorb
from ._fit import Fit
from ._frontend import feols, fepois
from ._plots import coefplot
from ._tables import etable
from .errors import ConvergenceWarning

__all__ = ["linabsorb", "poisabsorb", "feols", "fepois", "Fit", "etable", "coefplot", "ConvergenceWarning",
           "__version__"]
