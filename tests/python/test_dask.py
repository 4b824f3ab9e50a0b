"""sorvik.dask: the same bits as the in-memory calls, on a cluster of worker processes."""
import numpy as np
import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
import dask.array as da  # noqa: E402
from dask.callbacks import Callback  # noqa: E402

import sorvik  # noqa: E402
import sorvik.dask as sd  # noqa: E402


def scene(rows, cols, seed):
    y, x = np.mgrid[0:rows, 0:cols]
    clean = 0.5 + 0.3 * np.sin(x / 7.0) * np.cos(y / 11.0) + 0.1 * ((x // 20 + y // 20) % 2)
    return np.clip(clean + 0.08 * np.random.default_rng(seed).standard_normal(clean.shape), 0, 1)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


# Sizes not a multiple of the step, chunks that cut anywhere, cores smaller
# than the search area: every task's tile differs from its neighbours'.
def test_wiener_on_the_cluster_is_the_in_memory_call(client):
    noisy = scene(131, 157, 1)
    pilot = sorvik.basic_estimate(noisy, 0.08)
    expected = sorvik.wiener(noisy, pilot, 0.08, step=2)
    lazy = sd.wiener(da.from_array(noisy, chunks=(29, 70)), da.from_array(pilot, chunks=(131, 13)),
                     0.08, step=2, core_size=40)
    assert lazy.shape == noisy.shape and lazy.dtype == np.float32
    assert same_bits(lazy.compute(), expected)


def test_denoise_on_the_cluster_is_the_in_memory_call(client):
    grey = scene(120, 101, 2)
    # The noise estimate and the float range are the whole image's.
    assert same_bits(sd.denoise(da.from_array(grey, chunks=33), core_size=30).compute(),
                     sorvik.denoise(grey))

    rgba = np.concatenate([np.stack([scene(97, 110, k) for k in range(3)], axis=-1),
                           np.full((97, 110, 1), 0.5)], axis=-1)
    u8 = np.round(rgba * 255).astype(np.uint8)
    lazy = sd.denoise(da.from_array(u8, chunks=(40, 50, 2)), 20.0, channel_axis=-1, core_size=36)
    assert lazy.dtype == np.uint8 and lazy.shape == u8.shape
    assert same_bits(lazy.compute(), sorvik.denoise(u8, 20.0, channel_axis=-1))

    planar = np.moveaxis(np.stack([scene(90, 84, 5 + k) for k in range(3)], axis=-1), -1, 0) * 900 + 50
    expected = sorvik.denoise(planar, channel_axis=0, data_range=(0, 1000), block_size=6, step=6,
                              search_radius=9)
    lazy = sd.denoise(da.from_array(planar, chunks=(1, 45, 30)), channel_axis=0, data_range=(0, 1000),
                      block_size=6, step=6, search_radius=9, core_size=20)
    assert same_bits(lazy.compute(), expected)


def test_bad_arrays_are_refused_before_any_task_runs():
    cube = da.zeros((40, 40, 3), chunks=20)
    with pytest.raises(ValueError, match="2-D"):
        sd.denoise(cube)
    with pytest.raises(ValueError, match="3-D"):
        sd.denoise(cube[..., 0], channel_axis=-1)
    with pytest.raises(ValueError, match="2-D"):
        sd.wiener(cube, cube, 0.1)
    with pytest.raises(TypeError, match="Dask array"):
        sd.denoise(np.zeros((40, 40)))
    with pytest.raises(TypeError, match="dtype"):
        sd.denoise(da.zeros((40, 40), dtype=np.int32))
    with pytest.raises(ValueError, match="step"):
        sd.denoise(da.zeros((40, 40)), 0.1, step=9)
    with pytest.raises(ValueError):
        sd.wiener(da.zeros((40, 40)), da.zeros((40, 40)), -0.1)
    with pytest.raises(ValueError, match="data_range"):
        sd.denoise(da.zeros((40, 40), dtype=np.uint8), 5.0, data_range=(0, 10))
    with pytest.raises(ValueError, match="shape"):
        sd.wiener(da.zeros((40, 40)), da.zeros((40, 41)), 0.1)


def test_a_chunk_holding_nan_fails_with_the_in_memory_message(client):
    noisy = scene(90, 100, 3)
    pilot = sorvik.basic_estimate(noisy, 0.08)
    noisy[70, 81] = np.nan
    with pytest.raises(ValueError) as in_memory:
        sorvik.wiener(noisy, pilot, 0.08)
    lazy = sd.wiener(da.from_array(noisy, chunks=30), da.from_array(pilot, chunks=30), 0.08, core_size=48)
    with pytest.raises(ValueError) as tiled:
        lazy.compute()
    assert str(tiled.value) == str(in_memory.value)

    for image in (noisy, np.full((60, 50), np.nan)):
        for sigma in (0.08, None):
            with pytest.raises(ValueError) as in_memory:
                sorvik.denoise(image, sigma)
            with pytest.raises(ValueError) as tiled:
                sd.denoise(da.from_array(image, chunks=30), sigma, core_size=48).compute()
            assert str(tiled.value) == str(in_memory.value)



# Chunks smaller than a patch's reach and cut anywhere, grey and colour,
# integer and saturated data: the estimate is the in-memory one's bits, and
# no task makes anything near the whole image on the way.
@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler")
def test_the_noise_estimate_is_the_whole_images_without_a_task_holding_it(client):
    grey = scene(131, 157, 4)
    u8 = np.round(np.stack([scene(70, 64, k) for k in range(3)], axis=-1) * 255).astype(np.uint8)
    rgba16 = np.concatenate([u8.astype(np.uint16) * 257, np.full((70, 64, 1), 9, np.uint16)], axis=-1)
    saturated = np.clip(grey, 0.45, 0.55)  # too few patches miss the extremes: all are used
    cases = [(grey, None, (29, 70)), (grey, None, (5, 157)), (u8, -1, (3, 11, 2)),
             (np.moveaxis(rgba16, -1, 0), 0, (4, 64, 7)), (saturated, None, (40, 4)),
             # a last chunk shorter than a patch's reach, after two unequal ones
             (grey, None, ((40, 88, 3), (50, 57, 50)))]
    for image, axis, chunks in cases:
        lazy = sd.estimate_sigma(da.from_array(image, chunks=chunks, inline_array=True), channel_axis=axis)
        results = []
        with Callback(posttask=lambda key, result, *_: results.append(result)):
            sigma = lazy.compute(scheduler="sync")
        assert sigma == sorvik.estimate_sigma(image, channel_axis=axis), (image.shape, chunks)
        assert max(r.size for r in results if isinstance(r, np.ndarray)) < image.size / 3

    # denoise makes the same estimate, on the cluster.
    lazy = sd.denoise(da.from_array(u8, chunks=(23, 31, 1)), channel_axis=-1, core_size=30)
    assert same_bits(lazy.compute(), sorvik.denoise(u8, channel_axis=-1))
    with pytest.raises(ValueError, match="constant"):
        sd.denoise(da.full((40, 40), 0.3, chunks=15)).compute()
