"""The first stage's parameters: they reach the pilot, tiles stay exact with them, bad ones are named."""
import numpy as np
import pytest

import sorvik

da = pytest.importorskip("dask.array")
import sorvik.dask as sd  # noqa: E402

# Far from every default, with a step that is no divisor of the Wiener stage's.
ODD = dict(first_block_size=5, first_step=2, first_max_group_size=8, first_search_radius=7,
           first_lambda=2.2, first_match_threshold=0.9)


def scene(rows, cols, seed):
    y, x = np.mgrid[0:rows, 0:cols]
    clean = 0.5 + 0.3 * np.sin(x / 6.0) * np.cos(y / 9.0) + 0.1 * ((x // 17 + y // 13) % 2)
    return np.clip(clean + 0.1 * np.random.default_rng(seed).standard_normal(clean.shape), 0, 1)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def test_the_parameters_reach_the_pilot():
    grey = scene(64, 70, 1)
    default = sorvik.denoise(grey, 0.1, threads=1)
    assert same_bits(sorvik.denoise(grey, 0.1, threads=1, first_stage="grouped"), default)
    results = [sorvik.denoise(grey, 0.1, threads=1, first_stage="dct")]
    results += [sorvik.denoise(grey, 0.1, threads=1, **{k: v}) for k, v in ODD.items()]
    for r in results:
        assert not same_bits(r, default)
    # Given its own default, a parameter changes nothing.
    assert same_bits(sorvik.denoise(grey, 0.1, threads=1, first_block_size=6, first_lambda=2.5), default)


def test_tiles_are_exact_with_the_first_stages_parameters():
    grey = scene(113, 131, 2)
    expected = sorvik.denoise(grey, 0.1, **ODD)
    lazy = sd.denoise(da.from_array(grey, chunks=(29, 50)), 0.1, core_size=25, **ODD)
    assert same_bits(lazy.compute(scheduler="synchronous"), expected)

    rgb = (np.stack([scene(90, 77, 3 + k) for k in range(3)], axis=-1) * 255).round().astype(np.uint8)
    wide = dict(first_block_size=10, first_search_radius=21, first_step=3)
    expected = sorvik.denoise(rgb, 25.0, channel_axis=-1, **wide)
    lazy = sd.denoise(da.from_array(rgb, chunks=(40, 33, 3)), 25.0, channel_axis=-1, core_size=30, **wide)
    assert same_bits(lazy.compute(scheduler="synchronous"), expected)

    expected = sorvik.denoise(grey, 0.1, first_stage="dct")
    lazy = sd.denoise(da.from_array(grey, chunks=40), 0.1, core_size=20, first_stage="dct")
    assert same_bits(lazy.compute(scheduler="synchronous"), expected)


def test_the_context_follows_the_first_stages_reach():
    wiener_only = sd.tile_context()
    assert sd.tile_context(pilot_per_tile=True, first_stage="dct") == tuple(c + 7 for c in wiener_only)
    # A pilot pixel reads 2 R + P - 1 on each side.
    assert sd.tile_context(pilot_per_tile=True, first_block_size=10, first_search_radius=30) == \
        tuple(c + 2 * 30 + 10 - 1 for c in wiener_only)


def test_bad_values_are_refused_naming_the_keyword():
    grey = (scene(48, 48, 4) * 255).round().astype(np.uint8)
    cases = [({"first_stage": "haar"}, ValueError, "first_stage must be one of grouped, dct, not 'haar'"),
             ({"first_stage": 1}, TypeError, "first_stage must be a str"),
             ({"first_block_size": 1}, ValueError, "first_block_size must be at least 2"),
             ({"first_block_size": 49}, ValueError, "first_block_size 49 is larger than the image"),
             ({"first_block_size": 2.0}, TypeError, "first_block_size must be an integer"),
             ({"first_step": 7}, ValueError, r"first_step must lie between 1 and the first stage's block size \(6\)"),
             ({"first_block_size": 4, "first_step": 5}, ValueError, r"first_step .* block size \(4\), not 5"),
             ({"first_max_group_size": 0}, ValueError, "first_max_group_size must be at least 1"),
             ({"first_search_radius": -1}, ValueError, "first_search_radius must be at least 0"),
             ({"first_lambda": float("nan")}, ValueError, "first_lambda must be a finite number"),
             ({"first_lambda": -1}, ValueError, "first_lambda must be a finite number from 0"),
             ({"first_match_threshold": True}, TypeError, "first_match_threshold must be a real number"),
             ({"first_stage": "dct", "first_lambda": 3}, ValueError,
              "first_lambda sets the grouped first stage, but first_stage is dct")]
    for kwargs, error, message in cases:
        with pytest.raises(error, match=message):
            sorvik.denoise(grey, 20, **kwargs)
        with pytest.raises(error, match=message):
            sd.denoise(da.from_array(grey, chunks=24), 20, **kwargs)


def test_a_profile_is_its_values_in_python_and_dask_and_a_given_value_replaces_its_own():
    grey = scene(70, 66, 5)
    table = {row["keyword"]: row for row in sorvik.parameters()}
    assert table["profile"]["flag"] == "--profile" and table["profile"]["octave"] == "Profile"
    fast = sorvik.denoise(grey, 0.1, threads=1, profile="fast")
    default = sorvik.denoise(grey, 0.1, threads=1)
    assert not same_bits(fast, default)
    assert same_bits(sorvik.denoise(grey, 0.1, threads=1, profile="default"), default)
    # Every value the profile sets, given: the bits of the profile that has them.
    given = dict(step=3, search_radius=19, max_group_size=32, match_threshold=0.19685, first_step=3,
                 first_search_radius=16)
    quality = sorvik.denoise(grey, 0.1, threads=1, profile="quality")
    assert same_bits(sorvik.denoise(grey, 0.1, threads=1, profile="fast", **given), quality)
    lazy = sd.denoise(da.from_array(grey, chunks=(31, 40)), 0.1, core_size=24, profile="fast")
    assert same_bits(lazy.compute(scheduler="synchronous"), fast)
    # Colour takes the profile's colour point, in memory and in Dask alike.
    rgb = np.stack([grey, grey[::-1], grey[:, ::-1]], axis=-1)
    colour_fast = sorvik.denoise(rgb, 0.1, channel_axis=-1, threads=1, profile="fast")
    point = dict(step=6, search_radius=10, max_group_size=16, first_stage="dct")
    assert same_bits(colour_fast, sorvik.denoise(rgb, 0.1, channel_axis=-1, threads=1, **point))
    assert not same_bits(colour_fast, sorvik.denoise(rgb, 0.1, channel_axis=-1, threads=1, step=4,
                                                     search_radius=10, max_group_size=16, first_stage="dct",
                                                     match_threshold=0.3))
    lazy = sd.denoise(da.from_array(rgb, chunks=(31, 40, 3)), 0.1, channel_axis=-1, core_size=24, profile="fast")
    assert same_bits(lazy.compute(scheduler="synchronous"), colour_fast)
    with pytest.raises(ValueError, match=r"profile must be one of fast, default, quality, not 'slow'"):
        sorvik.denoise(grey, 0.1, profile="slow")
    with pytest.raises(ValueError, match=r"profile must be one of"):
        sd.denoise(da.from_array(grey), 0.1, profile="slow")
