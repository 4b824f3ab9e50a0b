"""sorvik.denoise and sorvik.estimate_sigma on images as users hold them."""
import numpy as np
import pytest

import sorvik


def scene(rows=96, cols=112):
    y, x = np.mgrid[0:rows, 0:cols]
    grey = 0.5 + 0.3 * np.sin(x / 7.0) * np.cos(y / 11.0) + 0.1 * ((x // 20 + y // 20) % 2)
    return np.stack([grey, grey[::-1], 0.8 * grey], axis=-1)


def psnr(image, clean):
    return 10 * np.log10(1 / np.mean((image - clean) ** 2))


@pytest.fixture(scope="module")
def colour():
    clean = scene()
    noisy = clean + 0.08 * np.random.default_rng(4).standard_normal(clean.shape)
    return clean, np.round(np.clip(noisy, 0, 1) * 255).astype(np.uint8)


def test_every_dtype_comes_back_in_its_own_units(colour):
    clean, u8 = colour
    grey8 = u8[..., 0]
    out8 = sorvik.denoise(grey8, 20.4)
    assert out8.dtype == np.uint8 and out8.shape == grey8.shape
    assert psnr(out8 / 255.0, clean[..., 0]) > psnr(grey8 / 255.0, clean[..., 0]) + 6

    # The same levels as uint16, as floats in [0, 1] and as counts far outside
    # it: the same image, in each one's units.
    out16 = sorvik.denoise(grey8.astype(np.uint16) * 257, 20.4 * 257)
    assert out16.dtype == np.uint16
    assert np.abs(out16 / 257.0 - out8).max() <= 1
    unit = sorvik.denoise(grey8.astype(np.float32) / 255, np.float32(20.4 / 255))
    assert unit.dtype == np.float32
    counts = sorvik.denoise(3000.0 + 40.0 * grey8, 40.0 * 20.4, data_range=(3000.0, 3000.0 + 40 * 255))
    assert counts.dtype == np.float64
    np.testing.assert_allclose((counts - 3000.0) / 40.0 / 255, unit, atol=1e-5)
    # Floats are never clipped: data beyond [0, 1] is mapped, not cut.
    assert counts.max() > 1000 and unit.max() <= 1.0


def test_colour_alpha_and_channel_axis(colour):
    clean, u8 = colour
    out = sorvik.denoise(u8, channel_axis=-1, threads=2)
    assert out.shape == u8.shape and out.dtype == np.uint8
    assert psnr(out / 255.0, clean) > psnr(u8 / 255.0, clean) + 6
    # Channels first gives the same bits; an alpha channel is passed through.
    first = sorvik.denoise(np.moveaxis(u8, -1, 0).copy(), channel_axis=0, threads=1)
    np.testing.assert_array_equal(np.moveaxis(first, 0, -1), out)
    alpha = np.random.default_rng(5).integers(0, 256, u8.shape[:2], dtype=np.uint8)
    rgba = sorvik.denoise(np.dstack([u8, alpha]), channel_axis=2)
    np.testing.assert_array_equal(rgba[..., 3], alpha)
    np.testing.assert_array_equal(rgba[..., :3], out)


def test_estimate_sigma_finds_the_noise_level():
    clean = scene(160, 160)[..., 0]
    rng = np.random.default_rng(6)
    for sigma in (0.02, 0.04, 0.1, 0.2):
        noisy = clean + sigma * rng.standard_normal(clean.shape)
        assert sorvik.estimate_sigma(noisy) == pytest.approx(sigma, rel=0.1)
        # In the data's own units: scaled data, scaled estimate.
        assert sorvik.estimate_sigma(1000 * noisy) == pytest.approx(1000 * sorvik.estimate_sigma(noisy))
    colour = scene(160, 160) + 0.1 * rng.standard_normal((160, 160, 3))
    assert sorvik.estimate_sigma(colour, channel_axis=-1) == pytest.approx(0.1, rel=0.1)


def test_progress_and_its_errors(colour):
    _, u8 = colour
    fractions = []
    sorvik.denoise(u8, 20, channel_axis=-1, progress=fractions.append)
    assert fractions == sorted(fractions) and fractions[-1] == 1.0

    def stop(fraction):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        sorvik.denoise(u8, 20, channel_axis=-1, progress=stop)


@pytest.mark.parametrize("call, error, message", [
    (lambda a: sorvik.denoise(a.astype(np.int32)), TypeError, "dtype"),
    (lambda a: sorvik.denoise(a, True), TypeError, "sigma"),
    (lambda a: sorvik.denoise(a, 20, threads=True), TypeError, "threads"),
    (lambda a: sorvik.denoise(a, -1.0), ValueError, "sigma"),
    (lambda a: sorvik.denoise(a, 20, block_size=1), ValueError, "block_size"),
    (lambda a: sorvik.denoise(np.stack([a] * 5, axis=-1), channel_axis=-1), ValueError, "5 channels"),
    (lambda a: sorvik.denoise(a[..., np.newaxis]), ValueError, "channel_axis"),
    (lambda a: sorvik.denoise(np.full((64, 64), 7, np.uint8)), ValueError, "constant"),
    (lambda a: sorvik.denoise(np.where(np.arange(a.size).reshape(a.shape) == 200, np.nan, a / 255.0)),
     ValueError, r"not finite at \[1, 88\]"),
    (lambda a: sorvik.denoise(a, 20, data_range=(0, 1)), ValueError, "float images"),
    (lambda a: sorvik.estimate_sigma(np.broadcast_to(np.float32(0), (50000, 50000))), ValueError, "too large"),
])
def test_bad_input_is_refused_with_a_clear_error(colour, call, error, message):
    with pytest.raises(error, match=message):
        call(colour[1][..., 0])
