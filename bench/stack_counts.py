#!/usr/bin/env python3
"""Stacks of photon counts: one noise model fitted on every frame.

7 frames of 256 x 256 cut from camera.png, each shifted a pixel from the
last, as counts z = Poisson(peak x clean) + N(0, 2^2) in float. PSNR over
all frames against peak x clean, and processor seconds per frame (one
thread, this run), of:

  frame     sorvik.denoise on each frame alone, no parameters (its own model)
  stack     sorvik.denoise(z, frame_axis=0), no parameters (one model for all)
  gaussian  the stack under noise_model="gaussian" (what stacks took before)

    PYTHONPATH=build/python /usr/bin/python3 bench/stack_counts.py [--peaks 10,30,100]
"""

import argparse
import os
import time

import cv2
import numpy as np

import sorvik


def psnr(a, b, peak):
    return 10 * np.log10(peak ** 2 / np.mean((a - b) ** 2))


def timed(call):
    start = time.process_time()
    out = call()
    return out, time.process_time() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peaks", default="10,30,100")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    image = cv2.imread(os.path.join(here, "..", "data", "camera.png"), cv2.IMREAD_GRAYSCALE) / 255.0
    clean = np.stack([image[100 + f:356 + f, 100 + f:356 + f] for f in range(7)])
    rng = np.random.default_rng(args.seed)
    print("| peak | noisy | frame | stack | gaussian | s/frame frame | s/frame stack |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for peak in (float(p) for p in args.peaks.split(",")):
        z = rng.poisson(peak * clean) + rng.normal(0, 2, clean.shape)
        frames, frame_s = timed(lambda: np.stack([sorvik.denoise(f, threads=1) for f in z]))
        stack, stack_s = timed(lambda: sorvik.denoise(z, frame_axis=0, threads=1))
        white = sorvik.denoise(z, frame_axis=0, threads=1, noise_model="gaussian")
        truth = peak * clean
        print(f"| {peak:g} | {psnr(z, truth, peak):.2f} | {psnr(frames, truth, peak):.2f} | "
              f"{psnr(stack, truth, peak):.2f} | {psnr(white, truth, peak):.2f} | "
              f"{frame_s / 7:.2f} | {stack_s / 7:.2f} |")


if __name__ == "__main__":
    main()
