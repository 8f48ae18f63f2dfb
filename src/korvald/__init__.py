"""korvald: linear and Poisson regressions with high-dimensional fixed effects."""

__version__ = "0.1.0"

from .errors import ConvergenceWarning
from .linabsorb._linabsorb import linabsorb
from .poisabsorb._poisabsorb import poisabsorb

__all__ = ["linabsorb", "poisabsorb", "ConvergenceWarning", "__version__"]
