"""The noise spectrum of a chunked image, for the correlated model, with the
bits of the whole image in memory.

The spectrum is measured in phases: a task a chunk scores the blocks of a
grid fixed by the image's size, one small task selects the flattest of all
of them, a task a chunk transforms the selected blocks it owns, and one
small task makes the spectrum from their squares. The data's own spectrum
tells the automatic choice whether the noise is correlated; the spectra of
the planes the stages filter, measured once the model and the data's range
are known, give every tile the whole image's noise shapes. Small functions
that Dask's tasks run by name, so that worker processes can unpickle them.
"""

from __future__ import annotations

import numpy as np

from . import _sorvik

# The block size the data's own spectrum is measured at.
DATA_BLOCK = 8


def _planar(block: np.ndarray) -> np.ndarray:
    # (channels, columns, rows), C order, as the library takes a chunk.
    return np.ascontiguousarray(block.transpose(0, 2, 1), dtype=np.float64)


def _scores(block, shape, chunk_rows, chunk_cols, own_rows, own_cols, gate):
    """gate: (block size, filter range or None), or None: not measured."""
    if gate is None:
        return None
    return _sorvik._spectrum_scores(_planar(block), shape, chunk_rows, chunk_cols, own_rows, own_cols,
                                    gate[0], gate[1])


def _select(shape, gate, *scored):
    if gate is None:
        return None
    return [_sorvik._spectrum_select(shape, gate[0], np.concatenate([s[c] for s in scored]))
            for c in range(len(scored[0]))]


def _squares(block, shape, chunk_rows, chunk_cols, own_rows, own_cols, gate, selected):
    if gate is None:
        return None
    return _sorvik._spectrum_squares(_planar(block), shape, chunk_rows, chunk_cols, own_rows, own_cols,
                                     gate[0], gate[1], selected)


def _spectra(gate, selected, *parts):
    if gate is None:
        return None
    return [_sorvik._spectrum_from_parts(gate[0], len(chosen), [p[c] for p in parts])
            for c, chosen in enumerate(selected)]


def lazy_spectra(planes, gate, largest_block: int):
    """A Delayed list of the spectra of planes' channels [channel, row,
    column], one task a chunk in each phase, or None where `gate` (a value
    or a Delayed one) is None. Chunks are merged and overlapped by the
    reach of blocks up to `largest_block`."""
    import dask
    import dask.array as da

    from ._lazy_noise import _merged_chunks

    channels, rows, cols = (int(v) for v in planes.shape)
    reach = 3 * largest_block - 1
    chunks = [_merged_chunks(c, reach) for c in planes.chunks[1:]]
    array = planes.rechunk(((channels,),) + tuple(chunks))
    depth = {1 + k: (0, reach) if len(c) > 1 else (0, 0) for k, c in enumerate(chunks)}
    if any(d != (0, 0) for d in depth.values()):
        array = da.overlap.overlap(array, depth=depth, boundary="none", allow_rechunk=False)
    blocks = array.to_delayed()
    starts = [np.concatenate([[0], np.cumsum(c)]).tolist() for c in chunks]
    shape = (rows, cols)
    places = []
    for a in range(len(chunks[0])):
        for b in range(len(chunks[1])):
            own = [(s[i], s[i + 1]) for s, i in zip(starts, (a, b))]
            held = [(o[0], min(o[1] + reach, n) if len(c) > 1 else o[1])
                    for o, n, c in zip(own, shape, chunks)]
            places.append((blocks[0, a, b], held[0], held[1], own[0], own[1]))
    scores = dask.delayed(_scores, pure=True)
    scored = [scores(block, shape, hr, hc, orow, ocol, gate) for block, hr, hc, orow, ocol in places]
    selected = dask.delayed(_select, pure=True)(shape, gate, *scored)
    squares = dask.delayed(_squares, pure=True)
    parts = [squares(block, shape, hr, hc, orow, ocol, gate, selected) for block, hr, hc, orow, ocol in places]
    return dask.delayed(_spectra, pure=True)(gate, selected, *parts)


def data_spectra(planes, request):
    """The Delayed spectra of the data where the request may take the
    correlated model and the image holds enough blocks; else None."""
    if not may_be_correlated(request) or not _sorvik._spectrum_fits(tuple(planes.shape[1:]), DATA_BLOCK):
        return None
    return lazy_spectra(planes, (DATA_BLOCK, None), DATA_BLOCK)


def may_be_correlated(request) -> bool:
    """Whether sorvik.denoise asks for the spectrum under this request
    (sigma, noise_model, gain, read_noise, offset); None: estimate_noise."""
    if request is None:
        return True
    sigma, noise_model, gain, read_noise, offset = request
    if noise_model == "correlated":
        return True
    return noise_model in (None, "auto") and sigma is None and gain is None and read_noise is None \
        and offset is None


def _stage_gates(found, data_range, request_sigma, block_size: int, first):
    """The Wiener and grouped stages' gates once the model is known, and
    the level a given sigma sets, or None for a model that is not the
    correlated one."""
    (kind, sigma, *_rest, spectrum_sigma), _, _ = found
    if kind != "correlated":
        return None
    low, high = data_range
    wiener, grouped = _sorvik._stage_block_sizes(block_size, first, sigma / (high - low))
    level = request_sigma / spectrum_sigma if request_sigma is not None else 1.0
    filter_range = (float(low), float(high))
    return (wiener, filter_range), (grouped, filter_range) if grouped != wiener else None, level


def _pick(gates, which: int):
    return None if gates is None else gates[which]


def _shapes(gates, wiener, grouped):
    if gates is None:
        return None
    return _sorvik._noise_shapes(wiener, grouped or [], gates[2])


def lazy_shapes(planes, found, data_range, request_sigma, block_size: int, first):
    """The Delayed NoiseShapes tuple (sigmas, wiener, grouped) of the
    whole image under a correlated model, or None under another."""
    import dask

    gates = dask.delayed(_stage_gates, pure=True)(found, data_range, request_sigma, block_size, first)
    largest = max([block_size] + list(_sorvik._stage_block_sizes(block_size, first, 0.0)))
    pick = dask.delayed(_pick, pure=True)
    wiener = lazy_spectra(planes, pick(gates, 0), largest)
    grouped = lazy_spectra(planes, pick(gates, 1), largest)
    return dask.delayed(_shapes, pure=True)(gates, wiener, grouped)
