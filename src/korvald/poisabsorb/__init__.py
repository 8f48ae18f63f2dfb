"""Poisson pseudo-maximum likelihood with absorbed fixed effects."""
