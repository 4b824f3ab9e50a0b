"""The noise estimate of a chunked image for sorvik.dask: one task a chunk
hands over the grid patches the estimate reads and its extremes, and one
small task combines them into sigma or the model, with the bits the whole
image in memory gives (see sorvik.dask). Functions that Dask's tasks run
are defined here by name, so that worker processes can unpickle them."""

from __future__ import annotations

from typing import Tuple

import dask
import dask.array as da
import numpy as np

from . import _power_chunks, _sorvik
from ._noise_plan import _noise_model


def _planar(block: np.ndarray, colour: int) -> np.ndarray:
    # (channels, columns, rows), C order, as sorvik.denoise hands the library.
    return np.ascontiguousarray(block[:colour].transpose(0, 2, 1), dtype=np.float64)


# A noise patch reaches this many rows and columns past its top-left pixel.
_PATCH_REACH = 6


def _merged_chunks(sizes, least: int) -> Tuple[int, ...]:
    """Chunk sizes, merged until none but a lone one is smaller than least:
    an overlap reaches only into the neighbouring chunk."""
    merged = []
    for size in sizes:
        if merged and merged[-1] < least:
            merged[-1] += size
        else:
            merged.append(size)
    if len(merged) > 1 and merged[-1] < least:
        last = merged.pop()
        merged[-1] += last
    return tuple(merged)


def _noise_patches(block: np.ndarray, shape, chunk_rows, chunk_cols, own_rows, own_cols):
    return _sorvik._noise_chunk_patches(_planar(block, block.shape[0]), shape, chunk_rows, chunk_cols,
                                        own_rows, own_cols)


def _noise_sigma(shape, channels: int, checked: bool, *parts) -> float:
    """The estimate from every chunk's patches; `checked` adds the checks
    sorvik.denoise makes on it, in its order."""
    places = np.concatenate([p[0] for p in parts])
    values = np.concatenate([p[1] for p in parts])
    low = min(p[2] for p in parts)
    high = max(p[3] for p in parts)
    sigma = _sorvik._noise_sigma_from_patches(shape, channels, places, values, low, high)
    if checked:
        _sorvik._check_noise_estimate(low == high, sigma)
    return sigma


def _lazy_sigma(planes, chunks, checked: bool, request=None, model: bool = False, white: bool = False):
    """A Delayed estimate of planes [channel, row, column] (the colour
    channels), one task a chunk of the given (row, column) chunk sizes; with
    `model`, the noise model (see _noise_model) instead of sigma, with the
    data's spectra where the request may take the correlated model, unless
    `white` (a stack's frames, which take the white models only)."""
    channels, rows, cols = (int(v) for v in planes.shape)
    chunks = [_merged_chunks(c, _PATCH_REACH) for c in chunks]
    array = planes.rechunk(((channels,),) + tuple(chunks))
    depth = {1 + k: (0, _PATCH_REACH) if len(c) > 1 else (0, 0) for k, c in enumerate(chunks)}
    if any(d != (0, 0) for d in depth.values()):
        array = da.overlap.overlap(array, depth=depth, boundary="none", allow_rechunk=False)
    blocks = array.to_delayed()
    starts = [np.concatenate([[0], np.cumsum(c)]).tolist() for c in chunks]
    shape = (rows, cols)
    patches = dask.delayed(_noise_patches, pure=True)
    parts = []
    for a in range(len(chunks[0])):
        for b in range(len(chunks[1])):
            own = [(s[i], s[i + 1]) for s, i in zip(starts, (a, b))]
            reach = [(o[0], min(o[1] + _PATCH_REACH, n) if len(c) > 1 else o[1])
                     for o, n, c in zip(own, shape, chunks)]
            parts.append(patches(blocks[0, a, b], shape, reach[0], reach[1], own[0], own[1]))
    if model:
        spectra = None if white else _power_chunks.data_spectra(
            planes.rechunk(((channels,),) + tuple(chunks)), request)
        return dask.delayed(_noise_model, pure=True)(shape, channels, request, *parts, spectra=spectra)
    return dask.delayed(_noise_sigma, pure=True)(shape, channels, checked, *parts)
