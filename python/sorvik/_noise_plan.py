"""The noise model of a chunked image, planned as sorvik.denoise plans it:
small functions that Dask's tasks run (by name, so that worker processes
can unpickle them)."""

from __future__ import annotations

import math

import numpy as np

from . import _sorvik
from ._denoise import NoiseModel


def _noise_model(shape, channels: int, request, *parts, spectra=None):
    """The model from every chunk's patches and, where they were measured,
    the data's spectra (_power_chunks): as sorvik.denoise plans it for
    `request` (sigma, noise_model, gain, read_noise, offset), or None for
    sorvik.estimate_noise's. Returns the model tuple, then whether it was
    estimated and the data spectrum's sigma, then the colour channels'
    extremes."""
    places = np.concatenate([p[0] for p in parts])
    values = np.concatenate([p[1] for p in parts])
    low = min(p[2] for p in parts)
    high = max(p[3] for p in parts)
    model = _sorvik._noise_model_from_patches(shape, channels, places, values, low, high,
                                              *(request or (None,) * 5), plan=request is not None,
                                              data_spectra=spectra)
    return model, low, high


def _estimated_model(found) -> "NoiseModel":
    return NoiseModel(*found[0][:5])


def _tile_noise(found, shapes=None):
    """What a tile task filters under: the sigma (checked as sorvik.denoise
    checks an estimate), the poisson-gaussian model with the whole image's
    extremes, or the correlated model's sigma and the whole image's noise
    shapes."""
    (kind, sigma, gain, read_noise, offset, estimated, _), low, high = found
    if kind == "correlated":
        return ("correlated", sigma) + tuple(shapes)
    if kind == "gaussian":
        if estimated:
            _sorvik._check_noise_estimate(low == high, sigma)
        return sigma
    return (gain, read_noise, offset, low, high)


def _given_model(request, low: float, high: float):
    """A poisson-gaussian model given whole: only the extremes are needed,
    and the checks sorvik.denoise makes of the offset."""
    _, _, gain, read_noise, offset = request
    offset = 0.0 if offset is None else offset
    if math.isfinite(high) and offset > high:
        raise ValueError(f"offset {offset:.17g} lies above the data's maximum {high:.17g}: no signal would remain")
    return ("poisson-gaussian", 0.0, gain, read_noise, offset, False, 0.0), low, high
