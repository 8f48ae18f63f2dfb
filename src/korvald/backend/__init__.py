"""Partialling-out kernels (demeankit) and group helpers (grpkit)."""
