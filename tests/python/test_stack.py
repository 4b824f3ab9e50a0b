"""Stacks of frames denoised together: agreement with frame-by-frame calls, exactness across threads
and Dask chunks, and the errors for stacks that cannot be taken."""
import numpy as np
import pytest

import sorvik


def _moving(frames=6, rows=40, cols=44, sigma=20, seed=5, colour=False):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols]
    clean = np.stack([128 + 70 * np.sin((x + 2 * f) / 5.0) * np.cos((y + f) / 7.0) for f in range(frames)])
    if colour:
        clean = np.stack([clean, clean[:, ::-1], 255 - clean], axis=-1)
    return np.clip(np.round(clean + rng.normal(0, sigma, clean.shape)), 0, 255).astype(np.uint8)


def test_radius_zero_gives_each_frames_own_bits_wherever_the_axes_are():
    grey = _moving()
    alone = np.stack([sorvik.denoise(f, 20, threads=2) for f in grey])
    moved = np.moveaxis(grey, 0, 1)
    out = sorvik.denoise(moved, 20, frame_axis=1, temporal_radius=0, threads=2)
    assert np.array_equal(np.moveaxis(out, 1, 0), alone)
    colour = _moving(frames=3, colour=True)
    alone = np.stack([sorvik.denoise(f, 20, channel_axis=-1, threads=2) for f in colour])
    # frames last, channels first: (3, rows, cols, frames)
    moved = np.moveaxis(np.moveaxis(colour, -1, 0), 1, -1)
    out = sorvik.denoise(moved, 20, frame_axis=-1, channel_axis=0, temporal_radius=0, threads=2)
    assert np.array_equal(np.moveaxis(np.moveaxis(out, -1, 0), 1, -1), alone)
    # A list of frames is a stack along a new first axis.
    assert np.array_equal(sorvik.denoise(list(grey), 20, frame_axis=0, threads=2),
                          sorvik.denoise(grey, 20, frame_axis=0, threads=2))


def test_same_bits_for_any_thread_count_and_cleaner_than_each_frame_alone():
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:48, 0:48]
    clean = np.stack([0.5 + 0.3 * np.sin((x + f) / 4.0) * np.cos(y / 6.0) for f in range(5)])
    noisy = clean + rng.normal(0, 0.1, clean.shape)
    one = sorvik.denoise(noisy, 0.1, frame_axis=0, threads=1, data_range=(-0.5, 1.5))
    three = sorvik.denoise(noisy, 0.1, frame_axis=0, threads=3, data_range=(-0.5, 1.5))
    assert one.dtype == np.float64 and np.array_equal(one, three)
    alone = sorvik.denoise(noisy, 0.1, frame_axis=0, temporal_radius=0, data_range=(-0.5, 1.5))
    assert np.mean((one - clean) ** 2) < 0.8 * np.mean((alone - clean) ** 2)


def test_dask_chunks_give_the_in_memory_bits():
    da = pytest.importorskip("dask.array")
    import sorvik.dask as sd
    grey = _moving(frames=10, sigma=25)
    whole = sorvik.denoise(grey, frame_axis=0, temporal_radius=1, threads=1)  # sigma estimated on all frames
    for frames_per_chunk in (1, 3, 10):
        lazy = sd.denoise(da.from_array(grey, chunks=(frames_per_chunk, 20, 44)), frame_axis=0, temporal_radius=1)
        assert np.array_equal(lazy.compute(), whole), frames_per_chunk
    colour = _moving(frames=5, colour=True) / 255.0
    whole = sorvik.denoise(colour, 0.08, frame_axis=0, channel_axis=-1, temporal_radius=1)
    lazy = sd.denoise(da.from_array(colour, chunks=(2, 40, 44, 3)), 0.08, frame_axis=0, channel_axis=-1,
                      temporal_radius=1)
    assert np.array_equal(lazy.compute(), whole)
    # Counts: the model chosen and fitted on every chunk's patches, each task given it whole.
    counts = (100 + 3 * np.random.default_rng(3).poisson(grey.astype(float) / 6)).astype(np.uint16)
    for model in (None, "poisson-gaussian"):
        whole = sorvik.denoise(counts, frame_axis=0, temporal_radius=1, noise_model=model)
        lazy = sd.denoise(da.from_array(counts, chunks=(3, 20, 44)), frame_axis=0, temporal_radius=1,
                          noise_model=model)
        assert np.array_equal(lazy.compute(), whole), model


def test_stacks_that_cannot_be_taken_are_refused_naming_the_argument():
    grey = _moving(frames=3)
    for kwargs, error, message in [
            ({"frame_axis": 3}, ValueError, "frame_axis 3 is out of range"),
            ({"frame_axis": -4}, ValueError, "frame_axis -4 is out of range"),
            ({"frame_axis": 1.0}, TypeError, "frame_axis must be an int"),
            ({"frame_axis": 0, "channel_axis": 0}, ValueError, "4-D"),
            ({"frame_axis": 0, "temporal_radius": 17}, ValueError, "temporal_radius must be at most 16"),
            ({"frame_axis": 0, "predictive_radius": -1}, ValueError, "predictive_radius must be at least 0"),
            ({"frame_axis": 0, "noise_model": "correlated"}, ValueError, "white noise models only"),
            ({"frame_axis": 0, "noise_model": "poisson-gaussian", "gain": 2.0}, ValueError,
             "noise_model poisson-gaussian cannot be given with sigma")]:
        with pytest.raises(error, match=message):
            sorvik.denoise(grey, 20, **kwargs)
    with pytest.raises(ValueError, match="without channel_axis must be 3-D"):
        sorvik.denoise(grey[0], 20, frame_axis=0)
    with pytest.raises(ValueError, match="name the same axis"):
        sorvik.denoise(np.stack([grey] * 3, axis=-1), 20, frame_axis=0, channel_axis=-4)
    with pytest.raises(ValueError, match="stacks take 1 .grey. or 3 .RGB."):
        sorvik.denoise(np.stack([grey] * 2, axis=-1), 20, frame_axis=0, channel_axis=-1)
    frames = list(grey)
    with pytest.raises(ValueError, match="frame 2 has shape"):
        sorvik.denoise(frames[:2] + [frames[2][:-1]], 20, frame_axis=0)
    with pytest.raises(ValueError, match="frame 1 has dtype"):
        sorvik.denoise([frames[0], frames[1].astype(np.uint16)], 20, frame_axis=0)
    floats = grey / 255.0
    floats[2, 5, 7] = np.nan
    with pytest.raises(ValueError, match=r"frame 2 .*not finite at \[5, 7\]"):
        sorvik.denoise(floats, 0.1, frame_axis=0)


def test_the_tool_gives_the_packages_bits_and_refuses_pages_that_are_no_sequence(tmp_path):
    import os
    import subprocess
    tool = os.environ.get("SORVIK_TOOL")
    tifffile = pytest.importorskip("tifffile")
    if not tool:
        pytest.skip("the tool is not built")
    grey = _moving(frames=5, sigma=25)
    source, out = tmp_path / "stack.tif", tmp_path / "out.tif"
    tifffile.imwrite(source, grey)

    def run(*args):
        return subprocess.run([tool, "denoise", str(source), "-o", str(out), "--threads", "2", *args],
                              capture_output=True, text=True, timeout=120)
    done = run("--frames", "--temporal-radius", "1")
    assert done.returncode == 0, done.stderr
    assert np.array_equal(tifffile.imread(out), sorvik.denoise(grey, frame_axis=0, temporal_radius=1))
    # Counts: one model fitted on every frame, the same in both.
    counts = (100 + 3 * np.random.default_rng(2).poisson(grey.astype(float) / 6)).astype(np.uint16)
    tifffile.imwrite(source, counts)
    done = run("--frames", "--temporal-radius", "1", "--noise", "poisson-gaussian")
    assert done.returncode == 0 and "noise: poisson-gaussian" in done.stderr, done.stderr
    assert np.array_equal(tifffile.imread(out),
                          sorvik.denoise(counts, frame_axis=0, temporal_radius=1, noise_model="poisson-gaussian"))
    tifffile.imwrite(source, grey)
    # Without --frames every page is an image of its own.
    assert run().returncode == 0
    assert np.array_equal(tifffile.imread(out), np.stack([sorvik.denoise(f) for f in grey]))
    # One page with --frames: as without it.
    tifffile.imwrite(source, grey[0])
    assert run("--frames").returncode == 0
    assert np.array_equal(tifffile.imread(out), sorvik.denoise(grey[0]))
    with tifffile.TiffWriter(source) as pages:
        pages.write(grey[0])
        pages.write(grey[1][:, :-2])
    refused = run("--frames", "--sigma", "25")
    assert refused.returncode != 0 and "page 2, is 40 x 42 pixels" in refused.stderr, refused.stderr
    assert "--frames needs frames of one size" in refused.stderr
