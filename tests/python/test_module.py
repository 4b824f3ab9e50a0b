"""The sorvik Python module against the native library, bit for bit."""
import os
import subprocess
import tempfile
import threading

import numpy as np
import pytest

import sorvik

NATIVE = os.environ.get("SORVIK_NATIVE_REFERENCE")
needs_native = pytest.mark.skipif(NATIVE is None, reason="SORVIK_NATIVE_REFERENCE not set")

# Small settings keep the native runs quick; the module's defaults are
# checked on their own below.
FAST = dict(block_size=8, step=3, max_group_size=16, search_radius=6, match_threshold=0.19685)


def scene(rows, cols, sigma, seed):
    """A non-square image with edges running both ways, and its noisy copy."""
    r, c = np.mgrid[0:rows, 0:cols]
    clean = 0.2 + 0.5 * (c > cols // 3) + 0.2 * ((r // 5) % 2) * (r > rows // 2) + 0.003 * r
    noisy = clean + np.random.default_rng(seed).normal(0.0, sigma, clean.shape)
    return clean, noisy


def native_wiener(noisy, pilot, sigma, window, block_size, step, max_group_size, search_radius,
                  match_threshold):
    with tempfile.TemporaryDirectory() as d:
        paths = [os.path.join(d, n) for n in ("noisy", "pilot", "window", "out")]
        np.ascontiguousarray(noisy, np.float64).tofile(paths[0])
        np.ascontiguousarray(pilot, np.float32).tofile(paths[1])
        np.ascontiguousarray(window, np.float64).tofile(paths[2])
        rows, cols = noisy.shape
        subprocess.run([NATIVE, "wiener", str(rows), str(cols), *paths, repr(sigma), str(block_size),
                        str(step), str(max_group_size), str(search_radius), repr(match_threshold)],
                       check=True)
        return np.fromfile(paths[3], np.float32).reshape(rows, cols)


def native_basic(noisy, sigma, threshold=2.7):
    with tempfile.TemporaryDirectory() as d:
        src, out = os.path.join(d, "noisy"), os.path.join(d, "out")
        np.ascontiguousarray(noisy, np.float64).tofile(src)
        rows, cols = noisy.shape
        subprocess.run([NATIVE, "basic", str(rows), str(cols), src, out, repr(sigma),
                        repr(threshold)], check=True)
        return np.fromfile(out, np.float32).reshape(rows, cols)


@needs_native
def test_wiener_equals_the_native_filter_for_every_input_layout():
    sigma = 0.1
    _, noisy = scene(45, 37, sigma, seed=1)
    pilot = sorvik.basic_estimate(noisy, sigma)
    expected = native_wiener(noisy, pilot, sigma, sorvik.kaiser_window(8, 2.0), **FAST)

    big = np.zeros((90, 111))
    big[::2, ::3] = noisy  # a strided view of a larger array
    layouts = {
        "C order": (noisy, pilot),
        "F order, no copy": (np.asfortranarray(noisy), np.asfortranarray(pilot)),
        "strided view": (big[::2, ::3], pilot),
        "float64 pilot": (noisy, pilot.astype(np.float64)),
        "transposed F view": (np.ascontiguousarray(noisy.T).T, np.ascontiguousarray(pilot.T).T),
    }
    for name, (n, p) in layouts.items():
        result = sorvik.wiener(n, p, sigma, **FAST)
        assert result.dtype == np.float32 and result.shape == (45, 37), name
        assert result.flags["C_CONTIGUOUS"], name
        np.testing.assert_array_equal(result, expected, err_msg=name)


@needs_native
def test_wiener_defaults_and_window_match_the_native_filter():
    sigma = 0.08
    _, noisy = scene(30, 34, sigma, seed=2)
    pilot = np.clip(sorvik.basic_estimate(noisy, sigma), 0, 1)
    defaults = dict(block_size=8, step=3, max_group_size=32, search_radius=19,
                    match_threshold=0.19685)
    np.testing.assert_array_equal(
        sorvik.wiener(noisy, pilot, sigma),
        native_wiener(noisy, pilot, sigma, sorvik.kaiser_window(8), **defaults))

    # An asymmetric window: window[r, c] weights block pixel (r, c).
    window = np.ones((6, 6))
    window[:, 0] = 4.0
    window[5, :] = 0.5
    settings = dict(block_size=6, step=2, max_group_size=5, search_radius=4, match_threshold=0.3)
    np.testing.assert_array_equal(
        sorvik.wiener(noisy, pilot, sigma, window=window, **settings),
        native_wiener(noisy, pilot, sigma, window, **settings))


@needs_native
def test_basic_estimate_equals_the_native_one():
    _, noisy = scene(41, 29, 0.12, seed=3)
    for sigma, threshold in ((0.12, 2.7), (0.05, 4.0)):
        expected = native_basic(noisy, sigma, threshold)
        np.testing.assert_array_equal(sorvik.basic_estimate(noisy, sigma, threshold=threshold),
                                      expected)
        np.testing.assert_array_equal(
            sorvik.basic_estimate(np.asfortranarray(noisy.astype(np.float32)), sigma,
                                  threshold=threshold),
            native_basic(noisy.astype(np.float32), sigma, threshold))
    # Tall enough for bands on several threads, which must give the same bits.
    _, tall = scene(150, 70, 0.12, seed=4)
    np.testing.assert_array_equal(sorvik.basic_estimate(tall, 0.12, threads=3),
                                  native_basic(tall, 0.12, 2.7))


def test_wiener_improves_on_its_pilot():
    sigma = 25 / 255
    clean, noisy = scene(64, 72, sigma, seed=4)
    pilot = sorvik.basic_estimate(noisy, sigma)
    estimate = sorvik.wiener(noisy, pilot, sigma)

    def rmse(x):
        return np.sqrt(np.mean((x - clean) ** 2))

    assert rmse(pilot) < 0.6 * rmse(noisy)
    assert rmse(estimate) < rmse(pilot)


def test_inputs_are_left_as_they_were():
    _, noisy = scene(24, 24, 0.1, seed=5)
    noisy_f = np.asfortranarray(noisy)
    pilot = np.asfortranarray(sorvik.basic_estimate(noisy, 0.1))
    copies = noisy_f.copy(), pilot.copy()
    sorvik.wiener(noisy_f, pilot, 0.1)
    np.testing.assert_array_equal(noisy_f, copies[0])
    np.testing.assert_array_equal(pilot, copies[1])


def test_concurrent_calls_give_the_same_results():
    sigma = 0.1
    _, noisy = scene(40, 44, sigma, seed=6)
    pilot = sorvik.basic_estimate(noisy, sigma)
    expected = sorvik.wiener(noisy, pilot, sigma, **FAST)
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                p = sorvik.basic_estimate(noisy, sigma)
                results.append((p, sorvik.wiener(noisy, p, sigma, **FAST)))
        except Exception as e:  # reported below, on the main thread
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 20
    for p, e in results:
        np.testing.assert_array_equal(p, pilot)
        np.testing.assert_array_equal(e, expected)


def test_bad_arguments_raise_clear_errors():
    noisy = np.full((16, 16), 0.5)
    pilot = np.full((16, 16), 0.5, np.float32)
    value_errors = [
        ((noisy, pilot, 0.0), {}, "sigma"),
        ((noisy, pilot, float("nan")), {}, "sigma"),
        ((noisy, pilot, 0.1), {"block_size": 1}, "block_size must be at least 2"),
        ((noisy, pilot, 0.1), {"max_group_size": 0}, "max_group_size must be at least 1"),
        ((noisy, pilot, 0.1), {"search_radius": -1}, "search_radius must be at least 0"),
        ((noisy, pilot, 0.1), {"step": 0}, "step"),
        ((noisy, pilot, 0.1), {"match_threshold": float("inf")}, "match_threshold must be a finite number"),
        ((noisy, pilot, 0.1), {"threads": 0}, "threads"),
        ((noisy, pilot, 0.1), {"window": np.ones((7, 7))}, "block_size x block_size"),
        ((noisy, pilot, 0.1), {"window": -np.ones((8, 8))}, "> 0"),
        ((noisy, pilot, 0.1), {"step": 9}, "step"),
        ((noisy, pilot[:, :15], 0.1), {}, "shape"),
        ((noisy[:7], pilot[:7], 0.1), {}, "smaller than one"),
        ((noisy[0], pilot, 0.1), {}, "2-D"),
        ((np.where(np.eye(16) > 0, np.inf, noisy), pilot, 0.1), {}, r"noisy\[0, 0\]"),
    ]
    for args, kwargs, message in value_errors:
        with pytest.raises(ValueError, match=message):
            sorvik.wiener(*args, **kwargs)
    with pytest.raises(TypeError, match="floating-point"):
        sorvik.wiener((noisy * 255).astype(np.uint8), pilot, 0.1)
    with pytest.raises(ValueError, match="smaller than one"):
        sorvik.basic_estimate(noisy[:, :5], 0.1)
    with pytest.raises(ValueError, match="sigma"):
        sorvik.basic_estimate(noisy, -0.1)
    with pytest.raises(ValueError, match="threads"):
        sorvik.basic_estimate(noisy, 0.1, threads=0)


def test_a_result_that_is_not_finite_raises():
    # Pilot values this large overflow |spectrum|^2 in single precision.
    _, noisy = scene(24, 24, 0.1, seed=7)
    pilot = np.full(noisy.shape, 0.5, np.float32)
    pilot[5, 5] = 3e38
    with pytest.raises(ValueError, match="not finite"):
        sorvik.wiener(noisy, pilot, 0.1)
