"""Stacks of frames (video, time-lapse, z-stacks) denoised together, in memory and on Dask."""

from __future__ import annotations

import numbers
from typing import Optional

import numpy as np

from . import _sorvik
from ._noise_plan import _tile_noise

_KINDS = {np.dtype(np.uint8): "uint8", np.dtype(np.uint16): "uint16",
          np.dtype(np.float32): "float", np.dtype(np.float64): "float"}
# Only the white-noise model is taken for stacks.
_NOT_FOR_STACKS = ("gain", "read_noise", "offset")


def _axis(name: str, value, ndim: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not -ndim <= value < ndim:
        raise ValueError(f"{name} {value} is out of range for an array of {ndim} dimensions")
    return int(value) % ndim


def _frames_of(frames) -> np.ndarray:
    """A list or tuple of frames: each must have the first's shape and dtype."""
    arrays = [np.asarray(f) for f in frames]
    if not arrays:
        raise ValueError("image holds no frames")
    for k, a in enumerate(arrays[1:], 1):
        if a.dtype != arrays[0].dtype:
            raise ValueError(f"frame {k} has dtype {a.dtype}, frame 0 {arrays[0].dtype}: "
                             "the frames of a stack share one type")
        if a.shape != arrays[0].shape:
            raise ValueError(f"frame {k} has shape {a.shape}, frame 0 {arrays[0].shape}: "
                             "the frames of a stack share one size and channel count")
    return np.stack(arrays)


def stack_layout(image, frame_axis, channel_axis, moveaxis=np.moveaxis):
    """(stack [frame, channel, row, column], kind, channels, frame_axis, channel_axis), axes resolved."""
    kind = _KINDS.get(np.dtype(image.dtype).newbyteorder("="))
    if kind is None:
        raise TypeError(f"image must have dtype uint8, uint16, float32 or float64, not {image.dtype}")
    wanted = 3 if channel_axis is None else 4
    if image.ndim != wanted:
        raise ValueError(f"a stack {'without' if channel_axis is None else 'with'} channel_axis must be "
                         f"{wanted}-D, not {image.ndim}-D")
    frame_axis = _axis("frame_axis", frame_axis, image.ndim)
    if channel_axis is not None:
        channel_axis = _axis("channel_axis", channel_axis, image.ndim)
        if channel_axis == frame_axis:
            raise ValueError(f"frame_axis and channel_axis name the same axis ({frame_axis})")
        stack = moveaxis(image, (frame_axis, channel_axis), (0, 1))
    else:
        stack = moveaxis(image, frame_axis, 0)[:, np.newaxis]
    channels = int(stack.shape[1])
    if channels not in (1, 3):
        raise ValueError(f"a stack's frames have {channels} channels; stacks take 1 (grey) or 3 (RGB)")
    return stack, kind, channels, frame_axis, channel_axis


# The table's keywords a stack call hands to the parameter check.
_KEYWORDS = ("sigma", "noise_model", "gain", "read_noise", "offset", "profile", "block_size", "step", "max_group_size",
             "search_radius", "match_threshold", "window", "first_stage", "first_block_size", "first_step",
             "first_max_group_size", "first_search_radius", "first_lambda", "first_match_threshold",
             "data_range", "threads", "temporal_radius", "predictive_radius")


def keywords(arguments: dict) -> dict:
    """The table's keywords among a call's arguments, checked as a stack's (its own search areas)."""
    return dict({k: arguments[k] for k in _KEYWORDS}, frames=True)


def _counts(params: dict) -> bool:
    """The poisson-gaussian model chosen, or one of its parameters given."""
    return params.get("noise_model") == "poisson-gaussian" or any(params.get(k) is not None for k in _NOT_FOR_STACKS)


def denoise_planar_stack(stack: np.ndarray, kind: str, sigma, data_range, params: dict, first: dict,
                         threads: int, extremes=None):
    """The library's call on a [frame, channel, row, column] array; returns (result, sigma).
    `extremes`: a window's, the whole stack's (with the whole model in `params`)."""
    planar = np.ascontiguousarray(stack.transpose(0, 1, 3, 2), dtype=np.float64)
    result, used = _sorvik._denoise_stack_planar(
        planar, kind, sigma, data_range, params["block_size"], params["step"], params["max_group_size"],
        params["search_radius"], params["match_threshold"], params["window"], threads, first,
        params["temporal_radius"], params["predictive_radius"], params.get("noise_model"), params.get("gain"),
        params.get("read_noise"), params.get("offset"), extremes)
    out = result.transpose(0, 1, 3, 2)
    if kind != "float":
        out = _sorvik._to_integer(out, kind)
    return out, used


def put_back(out_stack, like_shape, dtype, frame_axis, channel_axis, moveaxis=np.moveaxis):
    """The result in the caller's layout."""
    if channel_axis is None:
        return moveaxis(out_stack[:, 0], 0, frame_axis)
    return moveaxis(out_stack, (0, 1), (frame_axis, channel_axis))


def denoise_stack(image, sigma, frame_axis, channel_axis, checked: dict, first: dict, progress):
    """sorvik.denoise with frame_axis: `checked` holds the table's keywords, resolved."""
    if isinstance(image, (list, tuple)):
        image = _frames_of(image)
    if not isinstance(image, np.ndarray) or isinstance(image, np.matrix):
        raise TypeError(f"image must be a numpy array or a list of frames, not {type(image).__name__}")
    stack, kind, _, frame_axis, channel_axis = stack_layout(image, frame_axis, channel_axis)
    out, _ = denoise_planar_stack(stack, kind, checked["sigma"], checked["data_range"], checked, first,
                                  checked["threads"])
    if progress is not None:
        progress(1.0)
    result = np.empty(image.shape, dtype=image.dtype)
    result[...] = put_back(out, image.shape, image.dtype, frame_axis, channel_axis)
    return result


def _stack_task(block, sigma_value, range_value, kind, params, first, threads, left, own, block_info=None):
    """One chunk of frames with the context on each side; returns its own frames. `sigma_value`
    is sigma, or for counts the whole stack's planned model with its extremes."""
    i = block_info[None]["chunk-location"][0]
    start = left[i]
    extremes = None
    if isinstance(sigma_value, tuple):
        noise = _tile_noise(sigma_value)
        if isinstance(noise, tuple):
            gain, read_noise, offset, low, high = noise
            params = dict(params, noise_model="poisson-gaussian", gain=gain, read_noise=read_noise, offset=offset)
            sigma_value, extremes = None, (low, high)
        else:
            sigma_value = noise
    out, _ = denoise_planar_stack(block, kind, sigma_value, range_value, params, first, threads, extremes)
    return out[start:start + own[i]]


def dask_denoise_stack(image, sigma, frame_axis, channel_axis, checked: dict, first: dict):
    """sorvik.dask.denoise with frame_axis: chunks of whole frames, each with the frames around it
    that decide its frames (stackContext: 4 temporal radii), so the bits are the in-memory call's."""
    import dask
    import dask.array as da

    from ._lazy_noise import _lazy_sigma, _merged_chunks
    from .dask import _finite_extremes, _float_range

    stack, kind, channels, frame_axis, channel_axis = stack_layout(image, frame_axis, channel_axis, da.moveaxis)
    frames, _, rows, cols = (int(v) for v in stack.shape)
    depth = 4 * checked["temporal_radius"]
    sizes = _merged_chunks(stack.chunks[0], max(depth, 1))
    stack = stack.rechunk((sizes, (channels,), (rows,), (cols,)))
    if sigma is None and checked.get("noise_model") != "gaussian":
        # One model chosen and fitted on every frame's patches, as in memory;
        # each task gets it whole, with the stack's extremes.
        planes = stack.reshape((frames * channels, rows, cols))
        request = (None, "poisson-gaussian" if _counts(checked) else checked.get("noise_model"),
                   checked["gain"], checked["read_noise"], checked["offset"])
        sigma = _lazy_sigma(planes, [(rows,), (cols,)], checked=True, request=request, model=True, white=True)
    elif sigma is None:
        planes = stack.reshape((frames * channels, rows, cols))
        sigma = _lazy_sigma(planes, [(rows,), (cols,)], checked=True)
    data_range = checked["data_range"]
    if kind == "float" and data_range is not None:
        data_range = tuple(_sorvik._user_range(*data_range))
    elif kind == "float":
        low, high = _finite_extremes(stack)
        data_range = dask.delayed(_float_range)(low, high)
    count = len(sizes)
    left = [depth if i > 0 and depth else 0 for i in range(count)]
    source = stack
    if count > 1 and depth:
        source = da.overlap.overlap(stack, depth={0: depth, 1: 0, 2: 0, 3: 0}, boundary="none",
                                    allow_rechunk=False)
    dtype = np.dtype(image.dtype)
    result = da.map_blocks(_stack_task, source, sigma, data_range, kind, checked, first, checked["threads"],
                           left, list(sizes), chunks=stack.chunks, dtype=dtype,
                           meta=np.empty((0, 0, 0, 0), dtype=dtype),
                           name="sorvik-stack-" + dask.base.tokenize(stack, sigma, data_range, checked, first))
    return put_back(result, image.shape, dtype, frame_axis, channel_axis, da.moveaxis)
