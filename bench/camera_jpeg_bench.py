#!/usr/bin/env python3
"""Camera JPEGs made here: the one call with no parameters against the best
fixed sigma chosen with the truth and OpenCV's colour NLM at its best h.

Each clean photograph goes through a camera's chain: linear light (gamma
2.2 undone), a Bayer (BG) mosaic, Poisson-Gaussian noise (peak photons,
read noise), OpenCV's demosaicking, the tone curve (gamma 1/2.2) and JPEG
compression. The truth is the noise-free mosaic through the same
demosaicking and tone curve, as averaging many shots of one camera would
give. Not a timed test: run it by hand,

    PYTHONPATH=build/python python3 bench/camera_jpeg_bench.py [--quick]

Times are processor seconds (time.process_time) of this process.
"""
import sys
import time

import cv2
import numpy as np
from skimage import data

import sorvik

SIGMAS = [4, 6, 9, 13, 18, 25, 32, 40]
OPENCV_H = [5, 8, 11, 15, 20, 26]


def camera_jpeg(clean, peak, read, quality, seed):
    rng = np.random.default_rng(seed)
    linear = (clean.astype(np.float64) / 255.0) ** 2.2
    mosaic = np.empty(linear.shape[:2])
    mosaic[0::2, 0::2] = linear[0::2, 0::2, 0]
    mosaic[0::2, 1::2] = linear[0::2, 1::2, 1]
    mosaic[1::2, 0::2] = linear[1::2, 0::2, 1]
    mosaic[1::2, 1::2] = linear[1::2, 1::2, 2]

    def develop(raw):
        raw16 = np.round(np.clip(raw, 0.0, 1.0) * 65535).astype(np.uint16)
        rgb = cv2.cvtColor(raw16, cv2.COLOR_BayerBG2RGB).astype(np.float64) / 65535.0
        return np.round(np.clip(rgb, 0.0, 1.0) ** (1 / 2.2) * 255).astype(np.uint8)

    counts = rng.poisson(mosaic * peak) + rng.normal(0.0, read, mosaic.shape)
    developed = develop(counts / peak)
    ok, buffer = cv2.imencode(".jpg", developed[:, :, ::-1], [cv2.IMWRITE_JPEG_QUALITY, quality])
    assert ok
    noisy = cv2.imdecode(buffer, cv2.IMREAD_COLOR)[:, :, ::-1].copy()
    return noisy, develop(mosaic)


def psnr(a, b):
    return 10 * np.log10(255.0**2 / np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))


def crops():
    yield "astronaut", data.astronaut()[60:316, 120:376]
    yield "coffee", data.coffee()[40:296, 120:376]
    yield "chelsea", data.chelsea()[30:286, 80:336]
    yield "rocket", data.rocket()[120:376, 200:456]
    yield "astronaut-384", data.astronaut()[100:484, 60:444]


def main():
    quick = "--quick" in sys.argv
    settings = [(80, 3, 85), (400, 2, 92)]
    if quick:
        settings = settings[:1]
    print("| image | peak | JPEG q | noisy | default (kind, sigma) | best fixed sigma | "
          "default - best | OpenCV best h | default - OpenCV | estimate CPU s |")
    print("|---|---:|---:|---:|---|---:|---:|---:|---:|---:|")
    rows = []
    for seed, (name, clean) in enumerate(crops()):
        for peak, read, quality in settings:
            noisy, truth = camera_jpeg(clean, peak, read, quality, seed)
            start = time.process_time()
            model = sorvik.estimate_noise(noisy, channel_axis=-1)
            estimate_seconds = time.process_time() - start
            try:
                default = psnr(sorvik.denoise(noisy, channel_axis=-1), truth)
            except ValueError:
                default = float("nan")  # refused
            fixed = {s: psnr(sorvik.denoise(noisy, sigma=s, noise_model="gaussian", channel_axis=-1), truth)
                     for s in SIGMAS}
            best_sigma = max(fixed, key=fixed.get)
            bgr = np.ascontiguousarray(noisy[:, :, ::-1])
            opencv = {h: psnr(cv2.fastNlMeansDenoisingColored(bgr, None, h, h, 7, 21)[:, :, ::-1], truth)
                      for h in OPENCV_H}
            best_h = max(opencv, key=opencv.get)
            row = (psnr(noisy, truth), default, fixed[best_sigma], opencv[best_h])
            rows.append(row)
            print(f"| {name} | {peak} | {quality} | {row[0]:.2f} | {row[1]:.2f} ({model.kind}, "
                  f"{model.sigma:.1f}) | {row[2]:.2f} (sigma {best_sigma}) | {row[1] - row[2]:+.2f} | "
                  f"{row[3]:.2f} (h {best_h}) | {row[1] - row[3]:+.2f} | {estimate_seconds:.3f} |",
                  flush=True)
    mean = np.mean(np.array(rows), axis=0)
    print(f"| mean | | | {mean[0]:.2f} | {mean[1]:.2f} | {mean[2]:.2f} | {mean[1] - mean[2]:+.2f} | "
          f"{mean[3]:.2f} | {mean[1] - mean[3]:+.2f} | |")
    refused = int(np.sum(np.isnan(np.array(rows)[:, 1])))
    print(f"refused: {refused} of {len(rows)}")


if __name__ == "__main__":
    main()
