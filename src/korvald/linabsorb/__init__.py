"""Linear least squares with absorbed fixed effects."""
