"""The one-call denoiser: estimate_sigma and denoise on images as users hold them."""

from __future__ import annotations

import numbers
from typing import Callable, NamedTuple, Optional, Tuple

import numpy as np

from . import _sorvik

_KINDS = {np.dtype(np.uint8): "uint8", np.dtype(np.uint16): "uint16",
          np.dtype(np.float32): "float", np.dtype(np.float64): "float"}
# The filter indexes pixels with 32-bit integers.
_MAX_SIDE = 2**31 - 1
# Defaults and bounds come from the table every front end shares.
_DEFAULTS = {row["keyword"]: row["default"] for row in _sorvik.parameters() if row["keyword"]}
# The first stage's keywords, handed to the library together.
_FIRST_STAGE = ("first_stage", "first_block_size", "first_step", "first_max_group_size",
                "first_search_radius", "first_lambda", "first_match_threshold")


def _pop_first_stage(params: dict) -> dict:
    return {key: params.pop(key) for key in _FIRST_STAGE}


def _whole(name: str, value, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low or value > _MAX_SIDE:
        raise ValueError(f"{name} must be from {low} to {_MAX_SIDE}, not {value}")
    return int(value)


def _real(name: str, value) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _channel_planes(image, channel_axis: Optional[int], moveaxis=np.moveaxis):
    """Checks an image's dtype and shape; returns (planes [channel, row, column], kind, channels).

    ``moveaxis`` is numpy's, or Dask's for a Dask array.
    """
    kind = _KINDS.get(np.dtype(image.dtype).newbyteorder("="))
    if kind is None:
        raise TypeError(f"image must have dtype uint8, uint16, float32 or float64, not {image.dtype}")
    if channel_axis is None:
        if image.ndim != 2:
            raise ValueError(f"image must be 2-D [row, column] without channel_axis, not {image.ndim}-D; "
                             "pass channel_axis=-1 for colour")
        planes = image[np.newaxis]
    else:
        channel_axis = _whole("channel_axis", channel_axis, -3)
        if image.ndim != 3:
            raise ValueError(f"image with a channel_axis must be 3-D, not {image.ndim}-D")
        planes = moveaxis(image, channel_axis, 0)
    channels = int(planes.shape[0])
    if channels not in (1, 2, 3, 4):
        raise ValueError(f"image has {channels} channels; sorvik takes 1 (grey), 2 (grey, alpha), "
                         "3 (RGB) or 4 (RGB, alpha)")
    return planes, kind, channels


def _planar(image, channel_axis: Optional[int]) -> Tuple[np.ndarray, str, int, bool]:
    """Checks the image and returns (planar float64 copy, kind, colour channels, alpha)."""
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy array, not {type(image).__name__}")
    if isinstance(image, np.matrix):
        # A matrix stays 2-D whatever it is indexed with.
        raise TypeError("image must be a numpy array, not numpy.matrix; np.asarray(image) converts it")
    planes, kind, channels = _channel_planes(image, channel_axis)
    rows, cols = planes.shape[1:]
    if rows > _MAX_SIDE or cols > _MAX_SIDE or rows * cols > _MAX_SIDE:
        raise ValueError(f"image of {rows} x {cols} pixels is too large: at most {_MAX_SIDE} pixels")
    alpha = channels in (2, 4)
    colour = planes[: channels - 1] if alpha else planes
    # (channels, columns, rows), C order: each channel column-major.
    planar = np.ascontiguousarray(colour.transpose(0, 2, 1), dtype=np.float64)
    return planar, kind, colour.shape[0], alpha


def _check_alpha(image, channel_axis: Optional[int], colour: int, kind: str):
    """Float alpha passes through, but NaN or an opacity past 0..1 is no alpha at all."""
    if kind != "float":
        return
    source = image[np.newaxis] if channel_axis is None else np.moveaxis(image, channel_axis, 0)
    bad = ~((source[colour] >= 0) & (source[colour] <= 1))
    if bad.any():
        row, col = (int(v) for v in np.argwhere(bad)[0])
        raise ValueError(f"the alpha channel must hold opacities from 0 to 1; the value at [{row}, {col}] "
                         f"is {source[colour][row, col]}")


class NoiseModel(NamedTuple):
    """A noise model, every value in the units of the data as given.

    ``kind`` is ``"gaussian"`` (one level of white noise, ``sigma``),
    ``"correlated"`` (one level of noise that is not white, as demosaicking
    and JPEG compression leave it; ``sigma`` its standard deviation per
    pixel) or ``"poisson-gaussian"``: ``z = offset + gain * Poisson(signal) +
    N(0, read_noise**2)``, whose variance at mean level ``m`` is
    ``gain * (m - offset) + read_noise**2``; ``sigma`` is then the noise at
    the image's mean level. A gaussian model has ``gain`` 0 and
    ``read_noise`` equal to ``sigma``.

    Parameters
    ----------
    kind : str
        ``"gaussian"``, ``"correlated"`` or ``"poisson-gaussian"``.
    sigma, gain, read_noise, offset : float
        As above.

    Returns
    -------
    NoiseModel
        A named tuple; ``estimate_noise`` makes them.

    Raises
    ------
    TypeError
        For too few or too many fields, as any named tuple.

    Examples
    --------
    >>> import sorvik
    >>> m = sorvik.NoiseModel("poisson-gaussian", 3.2, 1.5, 2.0, 100.0)
    >>> m.gain * (150.0 - m.offset) + m.read_noise ** 2  # the variance at level 150
    79.0
    """

    kind: str
    sigma: float
    gain: float
    read_noise: float
    offset: float


def estimate_noise(image: np.ndarray, *, channel_axis: Optional[int] = None) -> NoiseModel:
    """Estimates the noise model of ``image``: white Gaussian, or signal-dependent photon counts.

    The noise of weak-texture patches is measured against their mean level;
    where it grows with the level (photon counts: microscopes, telescopes,
    raw camera frames) the model is poisson-gaussian, else gaussian with the
    sigma ``estimate_sigma`` gives. Before that, the noise's spectrum over
    8 x 8 blocks is measured: noise that falls off towards the highest
    frequencies at a level well above ``estimate_sigma``'s (camera JPEGs, on
    which that reads near 0) is "correlated", with its sigma per pixel.
    ``sorvik.dask.estimate_noise`` gives the same model. Values piled up at the data's maximum
    (saturation) are left out of the fit. A colour image gets one model for
    all channels; an alpha channel is left out.

    Parameters
    ----------
    image : ndarray
        As for ``estimate_sigma``.
    channel_axis : int, optional
        The axis of the channels, or None for a 2-D grey image.

    Returns
    -------
    NoiseModel
        ``(kind, sigma, gain, read_noise, offset)`` in the data's units.

    Raises
    ------
    TypeError
        As ``estimate_sigma``.
    ValueError
        As ``estimate_sigma``, and for a constant image or one with no
        measurable noise at any level (the message says which).

    Examples
    --------
    >>> import numpy as np
    >>> import sorvik
    >>> rng = np.random.default_rng(2)
    >>> clean = np.tile(np.linspace(0, 1, 96), (96, 1))
    >>> counts = rng.poisson(100 * clean) + rng.normal(0, 2, clean.shape)
    >>> model = sorvik.estimate_noise(counts)
    >>> model.kind
    'poisson-gaussian'
    >>> 0.85 < model.gain < 1.15
    True

    White noise gives the gaussian model, with ``estimate_sigma``'s sigma:

    >>> noisy = 100 * clean + rng.normal(0, 5, clean.shape)
    >>> sorvik.estimate_noise(noisy).kind, sorvik.estimate_noise(noisy).sigma == sorvik.estimate_sigma(noisy)
    ('gaussian', True)
    """
    planar, _, _, _ = _planar(image, channel_axis)
    return NoiseModel(*_sorvik._estimate_noise_planar(planar))


def estimate_sigma(image: np.ndarray, *, channel_axis: Optional[int] = None) -> float:
    """Estimates the standard deviation of additive white Gaussian noise in ``image``.

    The estimate is made on weak-texture 7 x 7 patches, since texture read
    as noise would make the denoiser blur: the smallest eigenvalue of their
    covariance. A colour image gets one value for all channels; an alpha
    channel (the second of 2 or the fourth of 4) is left out.

    Parameters
    ----------
    image : ndarray
        uint8, uint16, float32 or float64; 2-D [row, column], or 3-D with
        ``channel_axis`` naming the axis of 1 to 4 channels.
    channel_axis : int, optional
        The axis of the channels, or None for a 2-D grey image.

    Returns
    -------
    float
        The noise standard deviation in the units of the data as given:
        levels of uint8 and uint16 images, values of float images. A
        constant image gives 0.

    Raises
    ------
    TypeError
        For a dtype other than those above, or a ``channel_axis`` that is
        not an int.
    ValueError
        For a shape sorvik cannot take (not 2-D without ``channel_axis``,
        other than 1 to 4 channels, over 2**31 - 1 pixels), an image too
        small to estimate on (about 27 x 27 pixels), or a value that is not
        finite.

    Examples
    --------
    >>> import numpy as np
    >>> import sorvik
    >>> rng = np.random.default_rng(1)
    >>> clean = np.tile(np.linspace(40, 200, 64), (64, 1))
    >>> noisy = (clean + rng.normal(0, 20, clean.shape)).clip(0, 255).round().astype(np.uint8)
    >>> sigma = sorvik.estimate_sigma(noisy)        # grey levels of 255
    >>> 18 < sigma < 22
    True

    The same data as floats on the 0..1 scale gives the same noise, in those
    units:

    >>> 18 < 255 * sorvik.estimate_sigma(noisy / 255.0) < 22
    True
    """
    planar, _, _, _ = _planar(image, channel_axis)
    return _sorvik._estimate_sigma_planar(planar)


def denoise(image: np.ndarray, sigma: Optional[float] = None, *,
            channel_axis: Optional[int] = None,
            noise_model: Optional[str] = None, gain: Optional[float] = None,
            read_noise: Optional[float] = None, offset: Optional[float] = None,
            profile: Optional[str] = None,
            block_size: int = _DEFAULTS["block_size"], step: Optional[int] = None,
            max_group_size: Optional[int] = None, search_radius: Optional[int] = None,
            match_threshold: Optional[float] = None, window: Optional[np.ndarray] = None,
            first_stage: Optional[str] = None, first_block_size: Optional[int] = None,
            first_step: Optional[int] = None, first_max_group_size: Optional[int] = None,
            first_search_radius: Optional[int] = None, first_lambda: Optional[float] = None,
            first_match_threshold: Optional[float] = None,
            data_range: Optional[Tuple[float, float]] = None, threads: Optional[int] = None,
            progress: Optional[Callable[[float], None]] = None, frame_axis: Optional[int] = None,
            temporal_radius: int = _DEFAULTS["temporal_radius"],
            predictive_radius: int = _DEFAULTS["predictive_radius"]) -> np.ndarray:
    """Denoises a grey or colour image, or a stack of frames, in one call.

    A first stage makes the pilot: by default matched groups of blocks,
    hard-thresholded together; then the collaborative Wiener filter (as
    ``wiener``) runs with it. Colour images are filtered in an orthonormal
    opponent colour space, with the blocks grouped once on the luminance and
    shared by all channels.

    Parameters
    ----------
    image : ndarray
        uint8, uint16, float32 or float64; 2-D [row, column], or 3-D with
        ``channel_axis`` naming the axis of 3 channels (RGB). With 2 or 4
        channels the last is alpha, which passes through unchanged.
    sigma : float, optional
        The noise standard deviation in the units of the data: levels for
        integer images (25 means 25 of 255 levels in uint8 data), values for
        float images. None estimates it (see ``estimate_sigma``).
    channel_axis : int, optional
        The axis of the channels, or None for a grey image.
    noise_model : {"auto", "gaussian", "correlated", "poisson-gaussian"}, optional
        None or "auto" chooses from the image (see ``estimate_noise``);
        a given ``sigma`` means gaussian. "correlated" is for noise that is
        not white (camera JPEGs): its spectrum is measured on the whole
        image and each coefficient shrunk against its own frequency's
        noise; a ``sigma`` given with it sets its level. "poisson-gaussian" is for photon
        counts: the image is stabilised to unit noise, filtered, and mapped
        back by an exact unbiased inverse.
    gain, read_noise, offset : float, optional
        The poisson-gaussian parameters in the data's units (data units per
        photon, the signal-free noise's standard deviation, the value at no
        signal); those left out are estimated. Giving any of them means
        poisson-gaussian.
    profile : {"fast", "default", "quality"}, optional
        Where on the quality-time curve the call sits: "fast" (about
        NL-means' time), "default" (None), "quality" (slower, a little
        better). It sets ``step``, ``max_group_size``, ``search_radius``,
        ``match_threshold`` and the first stage's values, from its colour
        point for a colour image; any of them given as well replaces the
        profile's.
    block_size, step, max_group_size, search_radius : int
        The Wiener filter's block side, spacing of reference blocks (1 to
        ``block_size``), most blocks in a group, and how many rows and
        columns around a reference its matches are searched in; the step,
        group size and radius left out are the profile's.
    match_threshold : float, optional
        The largest spectral distance of a match, as for ``wiener``; None is
        the profile's.
    window : ndarray, optional
        ``block_size`` x ``block_size`` aggregation weights, entry [r, c]
        for block pixel (r, c); None is ``kaiser_window(block_size)``.
    first_stage : {"grouped", "dct"}, optional
        How the pilot is made: "grouped" (the profile's; every profile's is
        grouped), or "dct", each 8 x 8 block hard-thresholded alone in its
        DCT: faster, rougher.
    first_block_size, first_step, first_max_group_size, first_search_radius : int, optional
        The grouped first stage's own block side, reference spacing (1 to
        its block side), group size and search radius; None: the
        profile's, else following sigma (6; 3, 4 above sigma 40 of 255, at
        most the block side; 16, 32 above sigma 40; 16).
    first_lambda : float, optional
        Its hard threshold in multiples of sigma; None: 2.5.
    first_match_threshold : float, optional
        Its largest spectral distance of a match, measured on the noisy
        image, on the scale of ``match_threshold``; None: max(0.2, 260
        sigma^2), sigma on the 0..1 scale.
    data_range : (low, high), optional
        For float images: the values that map to 0 and 1. By default [0, 1]
        when the data lies within it, else the data's minimum and maximum.
    threads : int, optional
        Threads to use; None uses every processor. The result is the same
        bits for any count.
    progress : callable, optional
        Called as ``progress(fraction)`` with the fraction done, from the
        calling thread, between rows; an exception it raises stops the call
        and propagates. A stack reports only its end.
    frame_axis : int, optional
        Denoises ``image`` as a stack of frames (video, time-lapse, z-stack)
        along this axis: 3-D for grey frames, 4-D with ``channel_axis`` for
        RGB ones, or a list of equal frames. Each frame's groups take blocks
        from the frames within ``temporal_radius`` too, followed from frame
        to frame within ``predictive_radius`` block positions; one sigma
        (estimated on all frames together when None) and one data range
        serve the whole stack; so does one noise model, chosen and fitted on
        all frames (photon counts included).
    temporal_radius, predictive_radius : int
        Frames on each side that lend blocks (0: each frame alone, its own
        bits at the stack's sigma), and the search around each block's
        predicted place in them.

    Returns
    -------
    ndarray
        The denoised image, of the input's shape and dtype and in its units:
        integers rounded and saturated, floats never clipped.

    Raises
    ------
    TypeError
        For an unsupported dtype, or an argument of the wrong type (a bool
        for a number, a float for an integer, a ``window`` that is not a 2-D
        array, a ``data_range`` that is not a pair of numbers).
    ValueError
        For a shape sorvik cannot take, a value that is not finite (its
        index is in the message), a constant image without ``sigma``, a
        ``sigma`` not above 0 or wider than the data's range, ``data_range``
        given for integer data, parameters out of range, a ``gain`` or
        ``read_noise`` not above 0, an ``offset`` above the data's maximum,
        ``noise_model="poisson-gaussian"`` with ``sigma``, and a model that
        cannot be fitted (the message says why).
    KeyboardInterrupt
        On Ctrl-C.

    Examples
    --------
    >>> import numpy as np
    >>> import sorvik
    >>> rng = np.random.default_rng(1)
    >>> clean = np.tile(np.linspace(40, 200, 64), (64, 1))
    >>> noisy = (clean + rng.normal(0, 20, clean.shape)).clip(0, 255).round().astype(np.uint8)
    >>> denoised = sorvik.denoise(noisy, threads=2)  # sigma estimated
    >>> denoised.dtype, denoised.shape
    (dtype('uint8'), (64, 64))
    >>> bool(np.abs(denoised - clean).mean() < np.abs(noisy - clean).mean() / 4)
    True

    Colour, channels last, with the noise level given in grey levels:

    >>> rgb = np.stack([noisy, noisy[::-1], noisy.T], axis=-1)
    >>> sorvik.denoise(rgb, 20.0, channel_axis=-1).shape
    (64, 64, 3)

    Photon counts, with the gain known and the rest estimated:

    >>> counts = rng.poisson(30 * clean / 255).astype(np.float64)
    >>> sorvik.denoise(counts, noise_model="poisson-gaussian", gain=1.0, threads=2).shape
    (64, 64)

    The result is the same bits for any thread count:

    >>> bool((sorvik.denoise(noisy, 20.0, threads=1) == sorvik.denoise(noisy, 20.0, threads=3)).all())
    True
    """
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    if frame_axis is not None:
        from . import _stack
        frames = _stack._frames_of(image) if isinstance(image, (list, tuple)) else image
        if not isinstance(frames, np.ndarray):
            raise TypeError(f"image must be a numpy array or a list of frames, not {type(image).__name__}")
        stack, kind, channels, _, _ = _stack.stack_layout(frames, frame_axis, channel_axis)
        p = _sorvik._check_parameters("python", stack.shape[2:], kind != "float", colour=channels > 1,
                                      **_stack.keywords(locals()))
        first = _pop_first_stage(p)
        return _stack.denoise_stack(frames, sigma, frame_axis, channel_axis, p, first, progress)
    planar, kind, colour, alpha = _planar(image, channel_axis)
    p = _sorvik._check_parameters("python", planar.shape[:0:-1], kind != "float", colour=colour > 1, sigma=sigma,
                                  noise_model=noise_model, gain=gain, read_noise=read_noise, offset=offset,
                                  profile=profile, block_size=block_size, step=step, max_group_size=max_group_size,
                                  search_radius=search_radius, match_threshold=match_threshold, window=window,
                                  first_stage=first_stage, first_block_size=first_block_size,
                                  first_step=first_step, first_max_group_size=first_max_group_size,
                                  first_search_radius=first_search_radius, first_lambda=first_lambda,
                                  first_match_threshold=first_match_threshold,
                                  data_range=data_range, threads=threads)
    if alpha:
        _check_alpha(image, channel_axis, colour, kind)
    first = _pop_first_stage(p)
    result, _, _ = _sorvik._denoise_planar(
        planar, kind, p["sigma"], p["noise_model"], p["gain"], p["read_noise"], p["offset"],
        p["data_range"], p["block_size"], p["step"], p["max_group_size"],
        p["search_radius"], p["match_threshold"], p["window"], p["threads"], progress, first)

    planes = result.transpose(0, 2, 1)
    if kind != "float":
        planes = _sorvik._to_integer(planes, kind)
    out = np.empty(image.shape, dtype=image.dtype)
    view = out[np.newaxis] if channel_axis is None else np.moveaxis(out, channel_axis, 0)
    view[:colour] = planes
    if alpha:
        source = image[np.newaxis] if channel_axis is None else np.moveaxis(image, channel_axis, 0)
        view[colour] = source[colour]
    return out
