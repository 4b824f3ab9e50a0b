#!/usr/bin/env python3
"""Stacks denoised together against frame by frame and OpenCV's NLM.

7-frame sequences cut from photographs: a window that pans 0 to 2 pixels a
frame, and one that stands still; 8-bit, clipped Gaussian noise. For each
sequence and sigma, the PSNR over all frames and the processor seconds per
frame (time.process_time, one thread everywhere, measured in this run) of:

  frame    sorvik.denoise on each frame alone
  stack    sorvik.denoise(stack, frame_axis=0): groups drawn from 3 frames each side (the default)
  cv-multi cv2.fastNlMeansDenoisingMulti, temporal window 5 (narrower at the
           ends, as it must be centred; h = sigma)
  cv-frame cv2.fastNlMeansDenoising on each frame (h = sigma)

Run by hand (a few minutes on one core):

    cmake --build build -j2 --target sorvik_python
    PYTHONPATH=build/python /usr/bin/python3 bench/stack_bench.py [--size 256] [--sigmas 15,25,50] \\
        [--plot docs/stacks.png]
"""

import argparse
import os
import time

import cv2
import numpy as np
import skimage.data
import skimage.io

import sorvik

FRAMES = 7
# Pixels the panning window moves right and down from one frame to the next.
PAN = [(0, 0), (1, 2), (2, 1), (0, 2), (2, 0), (1, 1), (2, 2)]


def grey(name):
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", name + ".png")
    image = skimage.io.imread(here) if os.path.exists(here) else getattr(skimage.data, name)()
    if image.ndim == 3:
        image = np.round(image[..., :3] @ [0.299, 0.587, 0.114]).astype(np.uint8)
    return image


def sequence(image, size, panning):
    y = x = 0
    frames = []
    for dy, dx in PAN:
        if panning:
            y, x = y + dy, x + dx
        frames.append(image[64 + y:64 + y + size, 64 + x:64 + x + size])
    return np.stack(frames)


def psnr(out, clean):
    mse = np.mean((out.astype(np.float64) - clean.astype(np.float64)) ** 2)
    return 10 * np.log10(255.0 ** 2 / mse)


def timed(call):
    start = time.process_time()
    out = call()
    return out, (time.process_time() - start) / FRAMES


def cv_multi(noisy, sigma):
    out = []
    for t in range(FRAMES):
        # Its window must be centred: narrower at the sequence's ends.
        window = 2 * min(t, FRAMES - 1 - t, 2) + 1
        out.append(cv2.fastNlMeansDenoisingMulti(list(noisy), t, window, None, float(sigma), 7, 21))
    return np.stack(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--sigmas", default="15,25,50")
    parser.add_argument("--images", default="astronaut,camera,brick")
    parser.add_argument("--plot", metavar="PNG", help="also draw PSNR against seconds per frame here")
    args = parser.parse_args()
    points = []  # (sigma, method, seconds per frame, PSNR)
    cv2.setNumThreads(1)
    rng = np.random.default_rng(7)
    print("| sequence | sigma | frame | stack | gain | cv-multi | cv-frame | s/frame: frame | stack | cv-multi |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name in args.images.split(","):
        image = grey(name)
        for panning in (True, False):
            if name != "brick" and not panning and name != "camera":
                continue
            clean = sequence(image, args.size, panning)
            for sigma in (float(s) for s in args.sigmas.split(",")):
                noisy = np.clip(np.round(clean + rng.normal(0, sigma, clean.shape)), 0, 255).astype(np.uint8)
                frame, t_frame = timed(lambda: np.stack([sorvik.denoise(f, sigma, threads=1) for f in noisy]))
                stack, t_stack = timed(lambda: sorvik.denoise(noisy, sigma, frame_axis=0, threads=1))
                multi, t_multi = timed(lambda: cv_multi(noisy, sigma))
                single = np.stack([cv2.fastNlMeansDenoising(f, None, float(sigma), 7, 21) for f in noisy])
                p_frame, p_stack = psnr(frame, clean), psnr(stack, clean)
                points += [(sigma, "sorvik per frame", t_frame, p_frame), (sigma, "sorvik stack", t_stack, p_stack),
                           (sigma, "OpenCV multi-frame NLM", t_multi, psnr(multi, clean))]
                print(f"| {name}, {'panning' if panning else 'static'} | {sigma:g} | {p_frame:.2f} | "
                      f"{p_stack:.2f} | {p_stack - p_frame:+.2f} | {psnr(multi, clean):.2f} | "
                      f"{psnr(single, clean):.2f} | {t_frame:.2f} | {t_stack:.2f} | {t_multi:.2f} |",
                      flush=True)
    if args.plot:
        plot(points, args.plot)


def plot(points, path):
    """One panel a sigma: each sequence's calls as points, seconds per frame across."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    sigmas = sorted({p[0] for p in points})
    styles = {"sorvik per frame": ("o", "tab:blue"), "sorvik stack": ("D", "tab:purple"),
              "OpenCV multi-frame NLM": ("s", "tab:red")}
    fig, axes = plt.subplots(1, len(sigmas), figsize=(4.2 * len(sigmas), 3.6), squeeze=False)
    for ax, sigma in zip(axes[0], sigmas):
        for method, (marker, colour) in styles.items():
            xs = [p[2] for p in points if p[0] == sigma and p[1] == method]
            ys = [p[3] for p in points if p[0] == sigma and p[1] == method]
            ax.scatter(xs, ys, marker=marker, color=colour, label=method)
        ax.set_title(f"7-frame sequences, \u03c3 {sigma:g}")
        ax.set_xlabel("processor seconds per frame, 1 thread")
        ax.set_ylabel("PSNR dB")
        ax.grid(alpha=0.3)
    axes[0][0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


if __name__ == "__main__":
    main()
