"""sorvik on Dask arrays: images larger than memory, or spread over a cluster.

``wiener`` and ``denoise`` take Dask arrays of any chunking and return Dask
arrays of the same shape and dtype, whose ``compute()`` gives the same bits
as ``sorvik.wiener`` / ``sorvik.denoise`` on the whole image in memory, on
any scheduler and any number of workers.

The image is rechunked into cores that start on the filter's reference grid;
each task filters its core with the context around it that the core's pixels
depend on (``tile_context``), so neighbouring tasks recompute a margin of
each other's pixels. With the default parameters and core size, that margin
costs about 18 % (``wiener``) and 22 % (``denoise``) more filtering than one
call on the whole image.

The noise level (when ``sigma`` is None) and the range of float data are
computed once for the whole image, never per tile, and no task holds the
whole image for them: each chunk's task hands over the grid patches the
estimate reads (those whose top-left pixel lies in the chunk, with the 6
rows and columns after it that they reach) and its extremes, and one small
task combines them, its memory bounded by the estimate's cap of about
65536 patches of 49 values whatever the image's size. The estimate does
not depend on where a patch was read, so it is the bits that
``sorvik.estimate_sigma`` gives. The correlated model's spectra are
measured the same way, in phases (``_power_chunks``).
"""

from __future__ import annotations

import math
from typing import Optional, Tuple

import numpy as np

from . import _sorvik
from ._denoise import _DEFAULTS, _MAX_SIDE, _channel_planes, _pop_first_stage, _whole
from . import _power_chunks
from ._lazy_noise import _lazy_sigma, _planar
from ._noise_plan import _estimated_model, _given_model, _tile_noise

try:
    import dask
    import dask.array as da
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("sorvik.dask needs Dask (Debian: python3-dask)") from e

__all__ = ["DEFAULT_CORE_SIZE", "denoise", "estimate_noise", "estimate_sigma", "tile_context", "wiener"]

# Cores of 1024 x 1024 pixels (rounded up to a multiple of step) keep the
# recomputed context under 25 % with the default parameters; see docs/scaling.md.
DEFAULT_CORE_SIZE = 1024


def tile_context(*, block_size: int = 8, step: int = 3, search_radius: int = 19,
                 pilot_per_tile: bool = False, first_stage: str = "grouped",
                 first_block_size: Optional[int] = None, first_step: Optional[int] = None,
                 first_search_radius: Optional[int] = None) -> Tuple[int, int]:
    """Pixels of context (before, after) a core needs along each axis.

    A tile that carries them, and starts at a multiple of ``step`` (or at the
    image's edge), gives its core the bits of one call on the whole image.

    Parameters
    ----------
    block_size, step, search_radius : int
        The filter's parameters, as for ``sorvik.wiener``.
    pilot_per_tile : bool
        Add the reach of the first stage, which ``denoise`` makes on each
        tile, at any sigma.
    first_stage, first_block_size, first_step, first_search_radius
        That first stage's parameters, as for ``sorvik.denoise``.

    Returns
    -------
    (int, int)
        The pixels of context before and after a core.

    Raises
    ------
    TypeError
        For a parameter that is not an int.
    ValueError
        For a parameter out of range.

    Examples
    --------
    >>> import sorvik.dask
    >>> sorvik.dask.tile_context()
    (45, 45)
    >>> sorvik.dask.tile_context(pilot_per_tile=True)
    (82, 82)
    >>> sorvik.dask.tile_context(pilot_per_tile=True, first_stage="dct")
    (52, 52)
    """
    block_size = _whole("block_size", block_size, 2)
    # Any image of at least one block: the context does not depend on its size.
    side = max(block_size, 8)
    first = dict(first_stage=first_stage, first_block_size=first_block_size, first_step=first_step,
                 first_search_radius=first_search_radius)
    if first_block_size is not None:
        side = max(side, _whole("first_block_size", first_block_size, 2))
    return _sorvik._tile_context(side, side, None, block_size, _whole("step", step, 1), 1,
                                 _whole("search_radius", search_radius, 0), 0.0, None,
                                 bool(pilot_per_tile), first)


def _check_dask(name: str, array):
    if not isinstance(array, da.Array):
        raise TypeError(f"{name} must be a Dask array, not {type(array).__name__}; "
                        "sorvik.wiener and sorvik.denoise take numpy arrays")


class _Layout:
    """The cores of one axis and their tiles, as the library plans them: the
    cores start on the reference grid and are no shorter than the context,
    so that every tile overlaps its neighbours alone, by one margin."""

    def __init__(self, length: int, core: int, params, pilot_per_tile: bool, first_stage=None):
        self._spans = [((t0, t1), (c0, c1)) for t0, t1, c0, c1 in _sorvik._overlap_tiles(
            length, core, params["block_size"], params["step"], params["search_radius"],
            pilot_per_tile, first_stage or {})]
        self.chunks = tuple(c1 - c0 for _, (c0, c1) in self._spans)
        self.depth = (max((c0 - t0 for (t0, _), (c0, _) in self._spans), default=0),
                      max((t1 - c1 for (_, t1), (_, c1) in self._spans), default=0))

    def spans(self, index: int) -> Tuple[Tuple[int, int], Tuple[int, int]]:
        """(tile, core) of chunk `index` as half-open spans."""
        return self._spans[index]


def _overlapped(array, layouts, leading: int = 0):
    chunks = ((-1,) * leading) + tuple(l.chunks for l in layouts)
    array = array.rechunk(chunks)
    depth = {leading + k: l.depth for k, l in enumerate(layouts)}
    if all(d == (0, 0) for d in depth.values()):
        return array
    return da.overlap.overlap(array, depth=depth, boundary="none", allow_rechunk=False)


def _boxes(layouts, location):
    (tr, cr), (tc, cc) = layouts[0].spans(location[0]), layouts[1].spans(location[1])
    return (tr[0], tr[1], tc[0], tc[1]), (cr[0], cr[1], cc[0], cc[1])


def _check_size(rows: int, cols: int):
    if rows > _MAX_SIDE or cols > _MAX_SIDE or rows * cols > _MAX_SIDE:
        raise ValueError(f"image of {rows} x {cols} pixels is too large: at most {_MAX_SIDE} pixels")


def wiener(noisy, pilot, sigma, *, block_size: int = _DEFAULTS["block_size"], step: Optional[int] = None,
           max_group_size: Optional[int] = None, search_radius: Optional[int] = None,
           match_threshold: float = _DEFAULTS["match_threshold"], window=None,
           threads: Optional[int] = None, core_size: int = DEFAULT_CORE_SIZE):
    """``sorvik.wiener`` on Dask arrays: a lazy float32 array of noisy's shape.

    Each task filters one core of the image with the context around it that
    the core's pixels depend on (``tile_context``), so ``compute()`` gives
    the bits of ``sorvik.wiener`` on the whole image, on any scheduler.

    Parameters
    ----------
    noisy, pilot : dask.array.Array
        2-D floating-point Dask arrays [row, column] of one shape and any
        chunking, on the 0..1 scale.
    sigma : float
        The noise standard deviation on the 0..1 scale.
    block_size, step, max_group_size, search_radius, match_threshold, window
        The filter's parameters, as for ``sorvik.wiener``.
    threads : int
        Threads per task.
    core_size : int
        The side of the part of the image each task computes, rounded up
        to a multiple of ``step``, and to the context if smaller.

    Returns
    -------
    dask.array.Array
        A lazy float32 array of noisy's shape.

    Raises
    ------
    TypeError
        When the graph is made: for an argument that is not a Dask array, a
        dtype that is not floating point, or a parameter of the wrong type.
    ValueError
        When the graph is made: for arrays that are not 2-D or differ in
        shape, an image over 2**31 - 1 pixels, or a parameter out of range.
        A chunk holding a value that is not finite fails its task with the
        message ``sorvik.wiener`` gives.

    Examples
    --------
    >>> import numpy as np
    >>> import dask.array as da
    >>> import sorvik, sorvik.dask
    >>> rng = np.random.default_rng(1)
    >>> y, x = np.mgrid[0:160, 0:160]
    >>> noisy = 0.5 + 0.25 * np.sin(x / 9.0) * np.cos(y / 13.0) + rng.normal(0, 0.06, x.shape)
    >>> pilot = sorvik.basic_estimate(noisy, 0.06)
    >>> lazy = sorvik.dask.wiener(da.from_array(noisy, chunks=64), da.from_array(pilot, chunks=64),
    ...                           0.06, core_size=64)
    >>> lazy.dtype, lazy.shape
    (dtype('float32'), (160, 160))
    >>> whole = sorvik.wiener(noisy, pilot, 0.06)
    >>> bool((lazy.compute(scheduler="synchronous") == whole).all())
    True
    """
    _check_dask("noisy", noisy)
    _check_dask("pilot", pilot)
    for name, a in (("noisy", noisy), ("pilot", pilot)):
        if a.ndim != 2:
            raise ValueError(f"{name} must be a 2-D array [row, column], not {a.ndim}-D")
        if a.dtype.kind != "f":
            raise TypeError(f"{name} must be a floating-point array on the 0..1 scale, not dtype {a.dtype}")
    if pilot.shape != noisy.shape:
        raise ValueError(f"pilot has shape {tuple(pilot.shape)} but noisy has shape {tuple(noisy.shape)}")
    rows, cols = (int(v) for v in noisy.shape)
    _check_size(rows, cols)
    if sigma is None:
        raise TypeError("sigma must be a real number, not NoneType")
    params = _sorvik._check_parameters("dask", (rows, cols), False, one_call=False, sigma=sigma,
                                       block_size=block_size,
                                       step=step, max_group_size=max_group_size, search_radius=search_radius,
                                       match_threshold=match_threshold, window=window, threads=threads)
    sigma, threads = params.pop("sigma"), params.pop("threads")
    del params["data_range"]
    _pop_first_stage(params)
    for key in ("noise_model", "gain", "read_noise", "offset", "temporal_radius", "predictive_radius"):
        del params[key]  # the one call's alone
    core = _whole("core_size", core_size, 1)
    # Every check the in-memory call makes before it reads a pixel.
    _sorvik._tile_context(rows, cols, sigma, pilot_per_tile=False, **params)
    layouts = [_Layout(rows, core, params, False), _Layout(cols, core, params, False)]

    def task(noisy_tile, pilot_tile, block_info=None):
        tile, core_box = _boxes(layouts, block_info[None]["chunk-location"])
        return _sorvik._wiener_tile(noisy_tile, pilot_tile, sigma, (rows, cols), tile, core_box,
                                    threads=threads, **params)

    return da.map_blocks(task, _overlapped(noisy, layouts), _overlapped(pilot, layouts),
                         chunks=tuple(l.chunks for l in layouts), dtype=np.float32,
                         name="sorvik-wiener-" + dask.base.tokenize(noisy, pilot, sigma, params,
                                                                    threads, core))


def estimate_noise(image, *, channel_axis: Optional[int] = None):
    """``sorvik.estimate_noise`` on a Dask array: a Delayed ``NoiseModel``, the same bits.

    The chunks' patches are collected as for ``estimate_sigma``.

    Parameters
    ----------
    image : dask.array.Array
        As for ``denoise``; an alpha channel is left out.
    channel_axis : int, optional
        The axis of the channels, or None for a 2-D grey image.

    Returns
    -------
    dask.delayed.Delayed
        The ``NoiseModel`` ``sorvik.estimate_noise`` gives on the whole
        image.

    Raises
    ------
    TypeError, ValueError
        As ``estimate_sigma``; a constant image, or one without measurable
        noise, fails its task with the message ``sorvik.estimate_noise``
        gives.

    Examples
    --------
    >>> import numpy as np
    >>> import dask.array as da
    >>> import sorvik, sorvik.dask
    >>> rng = np.random.default_rng(3)
    >>> counts = rng.poisson(np.tile(np.linspace(0, 80, 160), (160, 1))).astype(np.float64)
    >>> lazy = sorvik.dask.estimate_noise(da.from_array(counts, chunks=50))
    >>> lazy.compute(scheduler="synchronous") == sorvik.estimate_noise(counts)
    True
    """
    _check_dask("image", image)
    planes, _, channels = _channel_planes(image, channel_axis, da.moveaxis)
    _check_size(*(int(v) for v in planes.shape[1:]))
    colour = channels - 1 if channels in (2, 4) else channels
    planes = planes[:colour]
    found = _lazy_sigma(planes, planes.chunks[1:], checked=False, model=True)
    return dask.delayed(_estimated_model, pure=True)(found)


def estimate_sigma(image, *, channel_axis: Optional[int] = None):
    """``sorvik.estimate_sigma`` on a Dask array: a Delayed float, the same bits.

    One task a chunk (small chunks are merged) collects the patches the
    estimate reads, and one task combines them, in memory bounded by the
    estimate's own cap whatever the image's size; none holds the whole
    image.

    Parameters
    ----------
    image : dask.array.Array
        As for ``denoise``; an alpha channel is left out.
    channel_axis : int, optional
        The axis of the channels, or None for a 2-D grey image.

    Returns
    -------
    dask.delayed.Delayed
        The noise standard deviation in the units of the data, the bits
        ``sorvik.estimate_sigma`` gives on the whole image.

    Raises
    ------
    TypeError
        When the graph is made: for an image that is not a Dask array or
        of another dtype than uint8, uint16, float32 or float64.
    ValueError
        When the graph is made: for a shape sorvik cannot take. An image too
        small to estimate on, or a chunk holding a value that is not finite,
        fails its task with the message ``sorvik.estimate_sigma`` gives.

    Examples
    --------
    >>> import numpy as np
    >>> import dask.array as da
    >>> import sorvik, sorvik.dask
    >>> rng = np.random.default_rng(1)
    >>> noisy = (128 + rng.normal(0, 15, (160, 160))).round().astype(np.uint8)
    >>> lazy = sorvik.dask.estimate_sigma(da.from_array(noisy, chunks=50))
    >>> lazy.compute(scheduler="synchronous") == sorvik.estimate_sigma(noisy)
    True
    """
    _check_dask("image", image)
    planes, _, channels = _channel_planes(image, channel_axis, da.moveaxis)
    _check_size(*(int(v) for v in planes.shape[1:]))
    colour = channels - 1 if channels in (2, 4) else channels
    planes = planes[:colour]
    return _lazy_sigma(planes, planes.chunks[1:], checked=False)


def _float_range(low: float, high: float) -> Tuple[float, float]:
    # A Python function, which a worker process can unpickle by name.
    if not (math.isfinite(low) and math.isfinite(high)):
        # No finite value at all: every tile task fails on its own chunk with
        # the in-memory message, which this task must not pre-empt.
        return (0.0, 1.0)
    return _sorvik._float_range(low, high)


def _finite_extremes(planes):
    finite = da.where(da.isfinite(planes), planes, np.nan)
    return da.nanmin(finite), da.nanmax(finite)


def denoise(image, sigma: Optional[float] = None, *, channel_axis: Optional[int] = None,
            noise_model: Optional[str] = None, gain: Optional[float] = None,
            read_noise: Optional[float] = None, offset: Optional[float] = None,
            profile: Optional[str] = None,
            block_size: int = _DEFAULTS["block_size"], step: Optional[int] = None,
            max_group_size: Optional[int] = None, search_radius: Optional[int] = None,
            match_threshold: Optional[float] = None, window=None,
            first_stage: Optional[str] = None, first_block_size: Optional[int] = None,
            first_step: Optional[int] = None, first_max_group_size: Optional[int] = None,
            first_search_radius: Optional[int] = None, first_lambda: Optional[float] = None,
            first_match_threshold: Optional[float] = None,
            data_range: Optional[Tuple[float, float]] = None, threads: Optional[int] = None,
            core_size: int = DEFAULT_CORE_SIZE, frame_axis: Optional[int] = None,
            temporal_radius: int = _DEFAULTS["temporal_radius"],
            predictive_radius: int = _DEFAULTS["predictive_radius"]):
    """``sorvik.denoise`` on a Dask array: a lazy array of the image's shape and dtype.

    The image is rechunked to cores with all channels together; each task
    denoises one core with the context around it (``tile_context``), so
    ``compute()`` gives the bits of ``sorvik.denoise`` on the whole image,
    on any scheduler and any number of workers.

    Parameters
    ----------
    image : dask.array.Array
        uint8, uint16, float32 or float64, 2-D [row, column], or 3-D with
        ``channel_axis`` naming the axis of 1 to 4 channels (as
        ``sorvik.denoise``); any chunking.
    sigma : float, optional
        The noise standard deviation in the units of the data. None
        estimates it once for the whole image (as ``estimate_sigma``: a
        task a core collects its patches, one small task combines them).
    channel_axis : int, optional
        The axis of the channels, or None for a grey image.
    noise_model, gain, read_noise, offset
        The noise model, as for ``sorvik.denoise``; what is estimated is
        estimated once for the whole image, as ``sigma`` is. Under a
        poisson-gaussian model each tile is stabilised and filtered over
        the whole image's range, so the bits are still the in-memory call's.
    profile, block_size, step, max_group_size, search_radius, match_threshold, window
        The filter's parameters, as for ``sorvik.denoise``.
    first_stage, first_block_size, first_step, first_max_group_size, first_search_radius, \
first_lambda, first_match_threshold
        The first stage's, as for ``sorvik.denoise``; the tiles' context
        grows with its reach.
    data_range : (low, high), optional
        For float images, as for ``sorvik.denoise``; by default reduced over
        the chunks.
    threads : int
        Threads per task.
    core_size : int
        The side of the part of the image each task computes, rounded up
        to a multiple of ``step``, and to the context if smaller.
    frame_axis, temporal_radius, predictive_radius
        A stack, as for ``sorvik.denoise``: chunks of whole frames, each
        task with 4 ``temporal_radius`` frames of context on each side.

    Returns
    -------
    dask.array.Array
        A lazy array of the image's shape and dtype.

    Raises
    ------
    TypeError
        When the graph is made: for an image that is not a Dask array, an
        unsupported dtype, or a parameter of the wrong type.
    ValueError
        When the graph is made: for a shape sorvik cannot take, parameters
        out of range, or ``data_range`` given for integer data. A chunk
        holding a value that is not finite, or a constant image without
        ``sigma``, fails its task with the message ``sorvik.denoise`` gives.

    Examples
    --------
    >>> import numpy as np
    >>> import dask.array as da
    >>> import sorvik, sorvik.dask
    >>> rng = np.random.default_rng(1)
    >>> y, x = np.mgrid[0:200, 0:200]
    >>> clean = 120 + 60 * np.sin(x / 9.0) * np.cos(y / 13.0)
    >>> noisy = (clean + rng.normal(0, 15, clean.shape)).clip(0, 255).round().astype(np.uint8)
    >>> lazy = sorvik.dask.denoise(da.from_array(noisy, chunks=50), core_size=100)
    >>> lazy.dtype, lazy.shape, lazy.numblocks
    (dtype('uint8'), (200, 200), (2, 2))
    >>> bool((lazy.compute(scheduler="synchronous") == sorvik.denoise(noisy)).all())
    True
    """
    _check_dask("image", image)
    if frame_axis is not None:  # stacks: chunks of whole frames (_stack.py)
        from . import _stack
        stack, kind, channels, _, _ = _stack.stack_layout(image, frame_axis, channel_axis, da.moveaxis)
        p = _sorvik._check_parameters("dask", stack.shape[2:], kind != "float", colour=channels > 1,
                                      **_stack.keywords(locals()))
        return _stack.dask_denoise_stack(image, sigma, frame_axis, channel_axis, p, _pop_first_stage(p))
    planes, kind, channels = _channel_planes(image, channel_axis, da.moveaxis)
    rows, cols = (int(v) for v in planes.shape[1:])
    _check_size(rows, cols)
    alpha = channels in (2, 4)
    colour = channels - 1 if alpha else channels
    params = _sorvik._check_parameters("dask", (rows, cols), kind != "float", colour=colour > 1, sigma=sigma,
                                       noise_model=noise_model, gain=gain, read_noise=read_noise, offset=offset,
                                       profile=profile, block_size=block_size, step=step,
                                       max_group_size=max_group_size,
                                       search_radius=search_radius, match_threshold=match_threshold,
                                       window=window, first_stage=first_stage,
                                       first_block_size=first_block_size, first_step=first_step,
                                       first_max_group_size=first_max_group_size,
                                       first_search_radius=first_search_radius, first_lambda=first_lambda,
                                       first_match_threshold=first_match_threshold,
                                       data_range=data_range, threads=threads)
    sigma, threads, data_range = params.pop("sigma"), params.pop("threads"), params.pop("data_range")
    first = _pop_first_stage(params)
    request = tuple(params.pop(k) for k in ("noise_model", "gain", "read_noise", "offset"))
    del params["temporal_radius"], params["predictive_radius"]  # stacks' alone
    request = (sigma,) + request
    core = _whole("core_size", core_size, 1)
    # Sigma's own checks need the data range: the tasks make them.
    _sorvik._tile_context(rows, cols, None, pilot_per_tile=True, first_stage=first, **params)

    if kind == "uint8":
        data_range = dask.delayed((0.0, 255.0))
    elif kind == "uint16":
        data_range = dask.delayed((0.0, 65535.0))
    elif data_range is not None:
        data_range = dask.delayed(_sorvik._user_range(*data_range))
    else:
        low, high = _finite_extremes(planes[:colour])
        data_range = dask.delayed(_float_range)(low, high)
    layouts = [_Layout(rows, core, params, True, first), _Layout(cols, core, params, True, first)]
    if sigma is None and request[2] is not None and request[3] is not None:
        low, high = _finite_extremes(planes[:colour])
        sigma = dask.delayed(_tile_noise)(dask.delayed(_given_model)(request, low, high))
    elif sigma is None or request[1] == "correlated":
        # On the cores the tiles take (the rechunk is the tiles' own), so
        # that a chunk holding NaN fails as the tile holding it would.
        cores = planes.rechunk((-1,) + tuple(l.chunks for l in layouts))[:colour]
        found = _lazy_sigma(cores, [l.chunks for l in layouts], checked=True, request=request, model=True)
        shapes = None
        if _power_chunks.may_be_correlated(request):
            shapes = _power_chunks.lazy_shapes(cores, found, data_range, request[0], params["block_size"],
                                                  first)
        sigma = dask.delayed(_tile_noise, pure=True)(found, shapes)
    dtype = np.dtype(image.dtype)

    def task(block, sigma_value, range_value, block_info=None):
        location = block_info[None]["chunk-location"]
        tile, core_box = _boxes(layouts, location[1:])
        noise = tuple(sigma_value) if isinstance(sigma_value, (tuple, list)) else sigma_value
        result = _sorvik._denoise_tile(_planar(block, colour), noise, tuple(range_value),
                                       (rows, cols), tile, core_box, threads=threads, first_stage=first,
                                       **params)
        out_planes = result.transpose(0, 2, 1)
        if kind != "float":
            out_planes = _sorvik._to_integer(out_planes, kind)
        if alpha and kind == "float":
            # As sorvik.denoise: NaN or an opacity past 0..1 is no alpha.
            a = block[colour]
            bad = ~((a >= 0) & (a <= 1))
            if bad.any():
                row, col = (int(v) for v in np.argwhere(bad)[0])
                raise ValueError(f"the alpha channel must hold opacities from 0 to 1; the value at "
                                 f"[{row + tile[0]}, {col + tile[2]}] is {a[row, col]}")
        out = np.empty((channels, core_box[1] - core_box[0], core_box[3] - core_box[2]), dtype=dtype)
        out[:colour] = out_planes
        if alpha:
            r0 = core_box[0] - tile[0]
            c0 = core_box[2] - tile[2]
            out[colour] = block[colour, r0:r0 + out.shape[1], c0:c0 + out.shape[2]]
        return out

    result = da.map_blocks(task, _overlapped(planes, layouts, leading=1), sigma, data_range,
                           chunks=((channels,),) + tuple(l.chunks for l in layouts), dtype=dtype,
                           name="sorvik-denoise-" + dask.base.tokenize(planes, sigma, data_range, params, first,
                                                                       request, threads, core, channel_axis))
    if channel_axis is None:
        return result[0]
    return da.moveaxis(result, 0, channel_axis)
