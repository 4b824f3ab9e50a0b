#!/usr/bin/env python3
"""The quality-time curve of sorvik's one call, next to OpenCV's and scikit-image's NL-means.

Run by hand, never by the tests; the timings depend on the machine and its load.

    cmake --build build -j2 --target sorvik_python
    PYTHONPATH=build/python python3 bench/curve.py            # every image and sigma, a few minutes
    PYTHONPATH=build/python python3 bench/curve.py --quick    # camera and astronaut (RGB), sigma 25
    PYTHONPATH=build/python python3 bench/curve.py --stack    # and the stack call, per frame

Every call runs on one thread and is timed in processor seconds
(time.process_time, the whole process's CPU time, which one thread's call
is): on a machine shared with other work, wall-clock seconds say more about
the neighbours than about the call, while processor time stays close to
what the call itself costs. Each point of the curve is the mean PSNR and
mean seconds over the images at one sigma, grey and colour apart. The noisy
images, the PSNR and the comparators' settings are compare.py's (its
header says why they are fair); this script shares its helpers.

Writes a Markdown table (stdout and --table, default docs/quality-time.md)
and a PNG of PSNR against seconds (--png, default docs/quality-time.png):
one panel per sigma and kind, every parameter set as a grey dot, the
profiles marked, both NL-means, and with --stack the stack call (see
stack_call and stack_sequence).
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402  (the shared noise, PSNR and photograph helpers)

# 512 x 512 photographs: the bundled ones, and scikit-image's own of that size.
FILES: Tuple[Tuple[str, bool], ...] = compare.IMAGES
SKIMAGE_DATA: Tuple[Tuple[str, bool], ...] = (("grass", False), ("immunohistochemistry", True))
QUICK: Tuple[str, ...] = ("camera.png", "astronaut.png")

# Parameter sets of the one call, by name: the Wiener stage's step,
# search radius and group size, and the first stage (grouped with its step,
# radius and group size, or dct). None leaves a value to the call.
GRID: Tuple[Tuple[str, Dict[str, object]], ...] = (
    # Step 2 in either stage, a radius of 24 in both, or step 4 with the
    # radius of 19 measured within 0.08 dB of the quality profile (the values
    # before profiles) at 1.3 to 1.7 times its time, so the grid leaves them out.
    ("w4/16/32 g4", dict(step=4, search_radius=16, max_group_size=32, first_step=4)),
    ("w4/12/16 dct", dict(step=4, search_radius=12, max_group_size=16, first_stage="dct")),
    ("w5/12/32 g4/12", dict(step=5, search_radius=12, max_group_size=32, first_step=4, first_search_radius=12)),
    ("w5/12/16 g5/12", dict(step=5, search_radius=12, max_group_size=16, first_step=5, first_search_radius=12)),
    ("w6/10/16 g6/8", dict(step=6, search_radius=10, max_group_size=16, first_step=6, first_search_radius=8)),
    ("w4/16/32 dct", dict(step=4, search_radius=16, max_group_size=32, first_stage="dct")),
    ("w6/10/16 dct", dict(step=6, search_radius=10, max_group_size=16, first_stage="dct")),
)
QUICK_GRID = ("w4/16/32 g4", "w5/12/16 g5/12", "w6/10/16 dct")
PROFILES = ("fast", "default", "quality")


@dataclass
class Point:
    """One method on one kind (grey or colour) at one sigma: per image, dB and seconds."""
    psnr: List[float] = field(default_factory=list)
    seconds: List[float] = field(default_factory=list)

    def add(self, db: float, s: float) -> None:
        self.psnr.append(db)
        self.seconds.append(s)

    @property
    def db(self) -> float:
        return statistics.fmean(self.psnr)

    @property
    def s(self) -> float:
        return statistics.fmean(self.seconds)


def cpu_timed(call: Callable[[], np.ndarray], runs: int) -> Tuple[np.ndarray, float]:
    """The call's result and its median processor seconds over `runs` calls."""
    seconds = []
    result = None
    for _ in range(runs):
        start = time.process_time()
        result = call()
        seconds.append(time.process_time() - start)
    return result, statistics.median(seconds)


# The stack call's sequence around each photograph: STACK_FRAMES frames, the
# photograph itself in the middle and the others the window panned by these
# (rows, columns), each frame with noise of its own; the middle frame is the
# one measured, and the call's seconds are counted per frame.
STACK_PAN: Tuple[Tuple[int, int], ...] = ((-2, -1), (-1, -1), (0, 0), (1, 2), (2, 1))
STACK_FRAMES = len(STACK_PAN)
STACK_MIDDLE = STACK_PAN.index((0, 0))


def stack_sequence(clean: np.ndarray, noisy: np.ndarray, sigma: float, seed: int, name: str) -> np.ndarray:
    """The noisy frames around `noisy` (frame axis 0): the panned photograph, mirrored at its edges."""
    pad = max(max(abs(dy), abs(dx)) for dy, dx in STACK_PAN)
    widths = ((pad, pad), (pad, pad)) + ((0, 0),) * (clean.ndim - 2)
    padded = np.pad(clean, widths, mode="reflect")
    rows, cols = clean.shape[:2]
    frames = []
    for k, (dy, dx) in enumerate(STACK_PAN):
        if k == STACK_MIDDLE:
            frames.append(noisy)
            continue
        window = padded[pad + dy:pad + dy + rows, pad + dx:pad + dx + cols]
        frames.append(compare.add_noise(window, sigma, seed, f"{name} frame {k}"))
    return np.stack(frames)


def stack_call(sorvik) -> Optional[Callable[[np.ndarray, float, Optional[int]], np.ndarray]]:
    """The stack call's series: a function (frames, sigma, channel_axis) -> the middle frame's uint8 result.

    None while the package has no stack call (no frame_axis). The frames are
    stack_sequence's; the call is the one call's default profile on them.
    """
    import inspect
    if "frame_axis" not in inspect.signature(sorvik.denoise).parameters:
        return None

    def call(frames: np.ndarray, sigma: float, channel_axis: Optional[int]) -> np.ndarray:
        axis = None if channel_axis is None else frames.ndim - 1
        return sorvik.denoise(frames, sigma, frame_axis=0, channel_axis=axis, threads=1)[STACK_MIDDLE]
    return call


def photographs(data_dir: str, names: Optional[Sequence[str]], cv2) -> List[compare.Photo]:
    out = []
    for name, colour in FILES:
        if names is None or name in names:
            out.append(compare.load(data_dir, name, colour, cv2))
    data = compare._need("skimage.data", "scikit-image (Debian: python3-skimage)")
    for name, colour in SKIMAGE_DATA:
        if names is None or name in names:
            out.append(compare.Photo(name, colour, np.ascontiguousarray(getattr(data, name)())))
    return out


def has_profiles(sorvik) -> bool:
    return any(row["keyword"] == "profile" for row in sorvik._sorvik.parameters())


def measure(photos: List[compare.Photo], sigmas: Sequence[float], grid, runs: int, seed: int,
            sorvik, cv2, nl_means, with_stack: bool = False) -> Dict[Tuple[bool, float], Dict[str, Point]]:
    """(colour, sigma) -> method -> Point; sorvik's methods are 'sorvik <name>'."""
    cv2.setNumThreads(1)
    points: Dict[Tuple[bool, float], Dict[str, Point]] = {}
    stack = stack_call(sorvik) if with_stack else None
    warmed = set()
    for photo in photos:
        axis = -1 if photo.colour else None
        for sigma in sigmas:
            print(f"  {photo.name} sigma {sigma:g} ...", file=sys.stderr, flush=True)
            clean = photo.pixels
            noisy = compare.add_noise(clean, sigma, seed, photo.name)
            at = points.setdefault((photo.colour, sigma), {})
            calls: Dict[str, Callable[[], np.ndarray]] = {}
            for name, kwargs in grid:
                calls["sorvik " + name] = (lambda kw=kwargs: sorvik.denoise(noisy, sigma, channel_axis=axis,
                                                                             threads=1, **kw))
            if photo.colour:
                bgr = cv2.cvtColor(noisy, cv2.COLOR_RGB2BGR)
                calls["OpenCV NLM"] = lambda: cv2.cvtColor(
                    cv2.fastNlMeansDenoisingColored(bgr, None, sigma, sigma, 7, 21), cv2.COLOR_BGR2RGB)
            else:
                calls["OpenCV NLM"] = lambda: cv2.fastNlMeansDenoising(noisy, None, sigma, 7, 21)
            unit = noisy.astype(np.float64) / 255.0
            calls["scikit-image NLM"] = lambda: np.clip(np.rint(255.0 * nl_means(
                unit, h=0.8 * sigma / 255.0, sigma=sigma / 255.0, fast_mode=True, patch_size=5,
                patch_distance=6, channel_axis=axis)), 0, 255).astype(np.uint8)
            if stack is not None:
                frames = stack_sequence(clean, noisy, sigma, seed, photo.name)
                calls["stack call"] = lambda: stack(frames, sigma, axis)
            # One call of each untimed first: FFTW's plans and the first touch
            # of every buffer are the process's cost, not the call's.
            if photo.colour not in warmed:
                warmed.add(photo.colour)
                for call in calls.values():
                    call()
            for method, call in calls.items():
                result, seconds = cpu_timed(call, runs)
                if method == "stack call":
                    seconds /= STACK_FRAMES
                at.setdefault(method, Point()).add(compare.psnr(clean, result), seconds)
    return points


def table(points: Dict[Tuple[bool, float], Dict[str, Point]]) -> str:
    lines = []
    for (colour, sigma), methods in sorted(points.items()):
        opencv = methods["OpenCV NLM"]
        lines.append(f"\n**{'colour' if colour else 'grey'}, σ {sigma:g}** "
                     f"({len(opencv.psnr)} image(s); OpenCV {opencv.db:.2f} dB in {opencv.s:.3f} s)\n")
        lines.append("| call | PSNR | Δ OpenCV dB | seconds | × OpenCV time |")
        lines.append("|---|---:|---:|---:|---:|")
        for method, p in sorted(methods.items(), key=lambda kv: kv[1].s):
            lines.append(f"| {method} | {p.db:.2f} | {p.db - opencv.db:+.2f} | {p.s:.3f} | "
                         f"{p.s / opencv.s:.2f} |")
    return "\n".join(lines) + "\n"


def from_table(path: str) -> Dict[Tuple[bool, float], Dict[str, Point]]:
    """The means of a table this script wrote, to draw it again without measuring."""
    points: Dict[Tuple[bool, float], Dict[str, Point]] = {}
    at = None
    with open(path) as f:
        for line in f:
            if line.startswith("**"):
                kind, sigma = line.strip("*\n ").split("**")[0].split(", σ ")
                at = points.setdefault((kind == "colour", float(sigma)), {})
            elif at is not None and line.startswith("| ") and not line.startswith("| call"):
                cells = [c.strip() for c in line.strip().strip("|").split("|")]
                at.setdefault(cells[0], Point()).add(float(cells[1]), float(cells[3]))
    return points


def plot(points: Dict[Tuple[bool, float], Dict[str, Point]], path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import NullFormatter, ScalarFormatter

    keys = sorted(points)
    cols = len({sigma for _, sigma in keys})
    rows = len({colour for colour, _ in keys})
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.6 * rows), squeeze=False)
    kinds = sorted({colour for colour, _ in keys})
    sigmas = sorted({sigma for _, sigma in keys})
    style = {"OpenCV NLM": ("s", "tab:red"), "scikit-image NLM": ("^", "tab:orange"),
             "stack call": ("D", "tab:purple")}
    for (colour, sigma), methods in points.items():
        ax = axes[kinds.index(colour)][sigmas.index(sigma)]
        grid = [(p.s, p.db) for m, p in methods.items() if m.startswith("sorvik ") and "profile" not in m]
        if grid:
            ax.scatter(*zip(*grid), s=14, color="0.6", label="sorvik parameter sets")
        profile_colours = {"fast": "tab:blue", "default": "tab:green", "quality": "tab:brown"}
        for m, p in methods.items():
            if m.startswith("sorvik profile"):
                ax.scatter([p.s], [p.db], s=60, marker="o", zorder=3, label=m[len("sorvik "):],
                           color=profile_colours.get(m.split()[-1], "black"))
        for m, (marker, colour_name) in style.items():
            if m in methods:
                ax.scatter([methods[m].s], [methods[m].db], s=60, marker=marker, color=colour_name, label=m)
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(ScalarFormatter())
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_title(f"{'colour' if colour else 'grey'}, σ {sigma:g}")
        ax.set_xlabel("processor seconds, 1 thread, 512²")
        ax.set_ylabel("PSNR dB")
        ax.grid(True, which="both", alpha=0.3)
    axes[0][0].legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main(argv: Optional[Sequence[str]] = None) -> int:
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description="PSNR against processor seconds of sorvik's one call.")
    parser.add_argument("--quick", action="store_true",
                        help="camera.png and astronaut.png at sigma 25, five parameter sets and the profiles")
    parser.add_argument("--sigmas", type=compare.positive_list(float, "--sigmas"),
                        default=list(compare.DEFAULT_SIGMAS), help="levels of 255 (default 10,25,50)")
    parser.add_argument("--images", help="comma-separated names (files or scikit-image data)")
    parser.add_argument("--runs", type=int, default=1, help="calls timed per point, the median kept (default 1)")
    parser.add_argument("--no-grid", action="store_true", help="the profiles and the comparators only")
    parser.add_argument("--stack", action="store_true",
                        help="also the stack call on a 5-frame sequence around each photograph, seconds per "
                             "frame (about half again the run time)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--data", default=os.path.join(root, "data"))
    parser.add_argument("--table", default=os.path.join(root, "docs", "quality-time.md"))
    parser.add_argument("--png", default=os.path.join(root, "docs", "quality-time.png"))
    parser.add_argument("--replot", metavar="TABLE", help="draw --png from a table this script wrote; no measuring")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    if args.replot:
        plot(from_table(args.replot), args.png)
        return 0

    sorvik = compare._need("sorvik", "the Python module: build target sorvik_python, PYTHONPATH=build/python")
    cv2 = compare._need("cv2", "OpenCV for Python (Debian: python3-opencv)")
    restoration = compare._need("skimage.restoration", "scikit-image (Debian: python3-skimage)")
    names = args.images.split(",") if args.images else (QUICK if args.quick else None)
    sigmas = [25.0] if args.quick else args.sigmas
    grid = [] if args.no_grid else [g for g in GRID if not args.quick or g[0] in QUICK_GRID]
    if has_profiles(sorvik):
        grid += [("profile " + p, {"profile": p}) for p in PROFILES]
    photos = photographs(args.data, names, cv2)

    load_before = os.getloadavg()[0]
    started = time.perf_counter()
    points = measure(photos, sigmas, grid, args.runs, args.seed, sorvik, cv2, restoration.denoise_nl_means,
                     args.stack)
    head = (f"Mean PSNR (dB, peak 255) and mean processor seconds of one call on one thread over "
            f"{', '.join(p.name for p in photos)} (512 x 512), 8-bit noise from seed {args.seed}; "
            f"median of {args.runs} call(s); load average {load_before:.1f} before, "
            f"{os.getloadavg()[0]:.1f} after; {time.perf_counter() - started:.0f} s in all. "
            "Names: w STEP/RADIUS/GROUP of the Wiener stage, then the first stage: g (grouped, "
            "its defaults) or gSTEP/RADIUS/GROUP, or dct."
            + (" The stack call: the default profile on 5 frames, the photograph in the middle and the others "
               "panned by 1 or 2 pixels with noise of their own; the middle frame's PSNR and the call's "
               "seconds per frame." if args.stack else "") + "\n")
    text = head + table(points)
    print(text)
    if args.table:
        with open(args.table, "w") as f:
            f.write(text)
    if args.png:
        plot(points, args.png)
        print(f"wrote {args.png}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
