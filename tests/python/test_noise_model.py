"""Noise models from Python: estimate_noise, denoise under each model, the
Dask calls with the in-memory bits, and refusals naming the keyword."""
import numpy as np
import pytest

import sorvik


def counts(rows=120, cols=136, peak=40.0, gain=1.0, read=1.5, offset=0.0, seed=4):
    y, x = np.mgrid[0:rows, 0:cols]
    photons = peak * (0.1 + 0.9 * (0.5 + 0.5 * np.sin(x / 9.0) * np.cos(y / 13.0)))
    rng = np.random.default_rng(seed)
    return offset + gain * rng.poisson(photons) + rng.normal(0, read, photons.shape), photons * gain + offset


def psnr(a, b, peak):
    return 10 * np.log10(peak ** 2 / np.mean((a - b) ** 2))


def test_estimate_noise_fits_counts_and_keeps_white_noise_gaussian():
    z, _ = counts(gain=2.5, read=3.0, offset=50.0)
    m = sorvik.estimate_noise(z)
    assert isinstance(m, sorvik.NoiseModel)
    assert m.kind == "poisson-gaussian"
    assert m.gain == pytest.approx(2.5, rel=0.15)
    rgb = np.stack([z, z[::-1], z[:, ::-1]], axis=-1)
    assert sorvik.estimate_noise(rgb, channel_axis=-1).kind == "poisson-gaussian"

    white = 100 + np.random.default_rng(1).normal(0, 8, (96, 96))
    g = sorvik.estimate_noise(white)
    assert (g.kind, g.gain, g.offset) == ("gaussian", 0.0, 0.0)
    assert g.sigma == g.read_noise == sorvik.estimate_sigma(white)


def test_denoise_under_each_model_round_trips_counts():
    z, clean = counts()
    auto = sorvik.denoise(z, threads=2)
    given = sorvik.denoise(z, noise_model="poisson-gaussian", gain=1.0, read_noise=1.5, offset=0.0, threads=2)
    gaussian = sorvik.denoise(z, noise_model="gaussian", threads=2)
    for out in (auto, given, gaussian):
        assert out.shape == z.shape and out.dtype == z.dtype
    peak = clean.max()
    assert psnr(given, clean, peak) > psnr(z, clean, peak) + 6
    assert psnr(auto, clean, peak) > psnr(gaussian, clean, peak) - 0.2
    # A given sigma is gaussian, the model's name included.
    assert (sorvik.denoise(z, 4.0, threads=2) == sorvik.denoise(z, 4.0, noise_model="gaussian", threads=2)).all()
    # uint16 frames and float ones of the same levels give the same values.
    frame = np.clip(np.round(z * 50 + 100), 0, 65535).astype(np.uint16)
    out16 = sorvik.denoise(frame, noise_model="poisson-gaussian", threads=2)
    assert out16.dtype == np.uint16 and psnr(out16.astype(float), clean * 50 + 100, 65535) > 40


@pytest.mark.parametrize("keywords, error, message", [
    (dict(gain=0), ValueError, "gain must be a finite number > 0"),
    (dict(read_noise=float("nan")), ValueError, "read_noise must be a finite number"),
    (dict(offset=1e6), ValueError, "offset 1000000 lies above the data's maximum"),
    (dict(sigma=3.0, noise_model="poisson-gaussian"), ValueError,
     "noise_model poisson-gaussian cannot be given with sigma"),
    (dict(sigma=3.0, gain=1.0), ValueError, "gain belongs to the poisson-gaussian noise model and sigma"),
    (dict(noise_model="coloured"), ValueError,
     "noise_model must be one of auto, gaussian, correlated, poisson-gaussian"),
    (dict(noise_model="correlated", gain=2.0), ValueError,
     "gain belongs to the poisson-gaussian noise model, not noise_model correlated"),
    (dict(noise_model=3), TypeError, "noise_model must be a str"),
    (dict(gain="2"), TypeError, "gain must be a real number"),
])
def test_bad_model_parameters_are_refused_naming_the_keyword(keywords, error, message):
    z, _ = counts(64, 64)
    with pytest.raises(error, match=message):
        sorvik.denoise(z, **keywords)


def test_dask_gives_the_in_memory_model_and_bits():
    pytest.importorskip("dask")
    import dask.array as da

    import sorvik.dask

    z, _ = counts(150, 170, seed=9)
    lazy = da.from_array(z, chunks=(60, 70))
    assert sorvik.dask.estimate_noise(lazy).compute(scheduler="synchronous") == sorvik.estimate_noise(z)
    for keywords in ({}, dict(noise_model="poisson-gaussian"), dict(gain=1.0, read_noise=1.5),
                     dict(noise_model="gaussian")):
        streamed = sorvik.dask.denoise(lazy, core_size=64, threads=1, **keywords).compute(scheduler="synchronous")
        assert streamed.tobytes() == sorvik.denoise(z, threads=2, **keywords).tobytes(), keywords
    with pytest.raises(ValueError, match="offset 1000000 lies above"):
        sorvik.dask.denoise(lazy, gain=1.0, read_noise=1.5, offset=1e6).compute(scheduler="synchronous")


def camera_jpeg(rows=160, cols=176, peak=150.0, quality=88, seed=6):
    """A colour frame through a camera's chain: mosaic, counts, demosaicking,
    gamma and JPEG; the truth the noise-free mosaic through the same."""
    cv2 = pytest.importorskip("cv2")
    y, x = np.mgrid[0:rows, 0:cols]
    linear = np.stack([0.5 + 0.4 * np.sin(x / (9.0 + 4 * c)) * np.cos(y / 13.0) for c in range(3)], axis=-1) ** 2.2
    mosaic = np.empty((rows, cols))
    mosaic[0::2, 0::2], mosaic[0::2, 1::2] = linear[0::2, 0::2, 0], linear[0::2, 1::2, 1]
    mosaic[1::2, 0::2], mosaic[1::2, 1::2] = linear[1::2, 0::2, 1], linear[1::2, 1::2, 2]

    def develop(raw):
        rgb = cv2.cvtColor(np.round(np.clip(raw, 0, 1) * 65535).astype(np.uint16), cv2.COLOR_BayerBG2RGB)
        return np.round((rgb / 65535.0) ** (1 / 2.2) * 255).astype(np.uint8)

    rng = np.random.default_rng(seed)
    developed = develop((rng.poisson(mosaic * peak) + rng.normal(0, 2, mosaic.shape)) / peak)
    ok, buffer = cv2.imencode(".jpg", developed, [cv2.IMWRITE_JPEG_QUALITY, quality])
    return cv2.imdecode(buffer, cv2.IMREAD_COLOR), develop(mosaic)


def test_camera_jpeg_is_correlated_noise_denoised_without_parameters():
    noisy, truth = camera_jpeg()
    model = sorvik.estimate_noise(noisy, channel_axis=-1)
    assert model.kind == "correlated"
    # The white estimate reads the noise's weakest direction, near nothing.
    assert model.sigma > 3 * sorvik.estimate_sigma(noisy, channel_axis=-1)
    out = sorvik.denoise(noisy, channel_axis=-1)
    assert np.array_equal(out, sorvik.denoise(noisy, channel_axis=-1, noise_model="correlated"))
    assert psnr(out.astype(float), truth.astype(float), 255) > psnr(noisy.astype(float), truth.astype(float), 255) + 1.5
    # A given sigma alone still means white noise.
    white = sorvik.denoise(noisy, channel_axis=-1, sigma=model.sigma)
    assert not np.array_equal(out, white)


def blurred_noise(rows, cols, channels, seed):
    """Smooth scenes under white noise blurred by a 3 x 3 box, in 8 bits:
    noise that is not white, as demosaicking and compression leave it."""
    y, x = np.mgrid[0:rows, 0:cols]
    rng = np.random.default_rng(seed)
    planes = []
    for c in range(channels):
        w = rng.standard_normal((rows + 2, cols + 2))
        box = sum(w[i:i + rows, j:j + cols] for i in range(3) for j in range(3))
        clean = 120 + (60 - 20 * c) * np.sin(x / (9.0 + c)) * np.cos(y / 13.0)
        planes.append(np.clip(np.round(clean + 2.5 * box), 0, 255))
    out = np.stack(planes, axis=-1).astype(np.uint8)
    return out[..., 0] if channels == 1 else out


def test_dask_measures_the_correlated_model_with_the_in_memory_bits():
    pytest.importorskip("dask")
    import dask.array as da

    import sorvik.dask

    # Chunks that cut anywhere, one narrower than a block's reach and a short
    # last one, cores smaller than the image: the spectra are measured in
    # phases across the chunks and every tile takes the whole image's shapes.
    grey = blurred_noise(123, 131, 1, 2)
    assert sorvik.estimate_noise(grey).kind == "correlated"
    for chunks in ((50, 45), (123, 20), 97):
        lazy = da.from_array(grey, chunks=chunks)
        assert sorvik.dask.estimate_noise(lazy).compute(scheduler="synchronous") == sorvik.estimate_noise(grey)
        for keywords in ({}, dict(noise_model="correlated", sigma=7.0)):
            out = sorvik.dask.denoise(lazy, core_size=48, threads=1, search_radius=7, **keywords)
            expected = sorvik.denoise(grey, threads=2, search_radius=7, **keywords)
            assert out.compute(scheduler="synchronous").tobytes() == expected.tobytes(), (chunks, keywords)

    rgba = np.concatenate([blurred_noise(101, 94, 3, 5), np.full((101, 94, 1), 200, np.uint8)], axis=-1)
    lazy = da.from_array(rgba, chunks=(40, 60, 4))
    for keywords in ({}, dict(noise_model="correlated"), dict(noise_model="correlated", first_block_size=5)):
        out = sorvik.dask.denoise(lazy, channel_axis=-1, core_size=40, block_size=6, search_radius=7,
                                  **keywords).compute(scheduler="synchronous")
        expected = sorvik.denoise(rgba, channel_axis=-1, block_size=6, search_radius=7, **keywords)
        assert out.tobytes() == expected.tobytes(), keywords
    # White noise stays white under the automatic choice, in chunks as in memory.
    white = np.clip(np.round(120 + 15 * np.random.default_rng(3).standard_normal((90, 100))), 0, 255)
    lazy = da.from_array(white.astype(np.uint8), chunks=40)
    assert sorvik.dask.estimate_noise(lazy).compute(scheduler="synchronous").kind == "gaussian"
