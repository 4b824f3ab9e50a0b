"""The parameter table behind every front end: defaults, bounds and kinds the same everywhere."""
import inspect

import numpy as np
import pytest

import sorvik
from sorvik import _sorvik


@pytest.fixture(scope="module")
def grey():
    rng = np.random.default_rng(3)
    y, x = np.mgrid[0:48, 0:48]
    clean = 0.5 + 0.3 * np.sin(x / 5.0) * np.cos(y / 7.0)
    return np.round(np.clip(clean + 0.08 * rng.standard_normal(clean.shape), 0, 1) * 255).astype(np.uint8)


def test_the_defaults_of_every_call_are_the_tables():
    table = {row["keyword"]: row for row in _sorvik.parameters() if row["keyword"]}
    import sorvik.dask as sd
    for call in (sorvik.denoise, sd.denoise, sd.wiener):
        signature = inspect.signature(call).parameters
        for name in ("block_size", "max_group_size", "search_radius"):
            assert signature[name].default == table[name]["default"], (call.__qualname__, name)
        # The one call's threshold left out is its profile's; the Wiener stage alone has the table's.
        threshold = table["match_threshold"]["default"] if call is sd.wiener else None
        assert signature["match_threshold"].default == threshold, call.__qualname__
        # The step follows the block size, and threads default by front end.
        assert signature["step"].default is None and signature["threads"].default is None
    assert table["threads"]["differs"] and "Dask" in table["threads"]["differs"]
    assert table["block_size"]["bounds"] == (2, 64)


def test_bounds_are_the_same_as_the_other_front_ends(grey):
    noisy = grey / 255.0
    pilot = noisy.astype(np.float32)
    for kwargs, message in [({"threads": 100000}, "threads must be at most 1024, not 100000"),
                            ({"block_size": 65}, "block_size must be at most 64"),
                            ({"max_group_size": 4097}, "max_group_size must be at most 4096"),
                            ({"search_radius": 4097}, "search_radius must be at most 4096"),
                            ({"block_size": 2**40}, "block_size must be at most 64")]:
        with pytest.raises(ValueError, match=message):
            sorvik.denoise(grey, 20, **kwargs)
        if kwargs.get("block_size") != 2**40:  # wiener's own int32 check comes first there
            with pytest.raises(ValueError, match=message):
                sorvik.wiener(noisy, pilot, 0.1, **kwargs)
    # A block of 2 works without a step: the step follows it.
    assert sorvik.denoise(grey, 20, block_size=2).shape == grey.shape


def test_one_rule_for_the_window_everywhere(grey):
    """Complex or text weights are the wrong kind; weights too small for single precision are refused before any work."""
    import dask.array as da
    import sorvik.dask as sd
    noisy = grey / 255.0
    calls = [lambda w: sorvik.denoise(grey, 20, window=w),
             lambda w: sorvik.wiener(noisy, noisy.astype(np.float32), 0.1, window=w),
             lambda w: sd.denoise(da.from_array(grey), 20, window=w)]
    for call in calls:
        for window in (np.ones((8, 8), complex), np.full((8, 8), "1")):
            with pytest.raises(TypeError, match="window"):
                call(window)
        for tiny in (1e-320, 1e-45):
            window = np.ones((8, 8))
            window[0, 0] = tiny
            with pytest.raises(ValueError, match="below the smallest normal"):
                call(window)


def test_alpha_that_is_no_opacity_is_refused(grey):
    image = np.dstack([grey / 255.0, np.ones(grey.shape)])
    assert sorvik.denoise(image, 0.08, channel_axis=-1).shape == image.shape
    import dask.array as da
    import sorvik.dask as sd
    for bad in (np.nan, 5.0, -0.5):
        image[7, 9, 1] = bad
        with pytest.raises(ValueError, match=r"alpha .* \[7, 9\]"):
            sorvik.denoise(image, 0.08, channel_axis=-1)
        with pytest.raises(ValueError, match=r"alpha .* \[7, 9\]"):
            sd.denoise(da.from_array(image), 0.08, channel_axis=-1).compute()


def test_odd_inputs_give_documented_exceptions(grey):
    with pytest.raises(TypeError, match="numpy.matrix"):
        sorvik.denoise(np.matrix(grey))
    with pytest.raises(ValueError, match=r"sigma 1358\d* is too large for a float"):
        sorvik.denoise(grey, 2**1100)
    with pytest.raises(ValueError, match="data_range applies to float images"):
        sorvik.denoise(grey, 20, data_range=(0, 1000))
    with pytest.raises(TypeError, match="data_range must be a pair"):
        sorvik.denoise(grey / 255.0, 0.1, data_range="0,1")


def test_sigma_is_quoted_in_the_users_units(grey):
    with pytest.raises(ValueError, match=r"sigma 1e-30 is outside the range .* in the data's units") as e:
        sorvik.denoise(grey, 1e-30)
    assert "e-33" not in str(e.value)
