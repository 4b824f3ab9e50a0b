#!/usr/bin/env python3
"""Writes the tuning set of the grouped first stage: 256 x 256 centre crops of
scikit-image's photographs, ten grey (g-*.png) and five colour (c-*.png).

    python3 bench/make_crops.py /tmp/crops
    build/bench/pilot_bench --data /tmp/crops --images g-camera.png,g-grass.png,...

Needs scikit-image (Debian: python3-skimage); run by hand, never by the tests.
"""

import os
import sys

import skimage.data as data
import skimage.io as io
from skimage.color import rgb2gray
from skimage.util import img_as_ubyte

GREY = ("coffee", "chelsea", "rocket", "grass", "gravel", "moon", "motorcycle", "camera", "brick", "astronaut")
COLOUR = ("coffee", "chelsea", "rocket", "astronaut", "motorcycle")


def photo(name):
    if name == "motorcycle":  # not a loader of its own in older releases
        return io.imread(os.path.join(data.data_dir, "motorcycle_left.png"))
    return getattr(data, name)()


def crop(image, side=256):
    top, left = (image.shape[0] - side) // 2, (image.shape[1] - side) // 2
    return image[top:top + side, left:left + side]


def main(out):
    os.makedirs(out, exist_ok=True)
    for name in GREY:
        image = photo(name)
        if image.ndim == 3:
            image = img_as_ubyte(rgb2gray(image[..., :3]))
        io.imsave(os.path.join(out, f"g-{name}.png"), crop(image), check_contrast=False)
    for name in COLOUR:
        io.imsave(os.path.join(out, f"c-{name}.png"), crop(photo(name)[..., :3]), check_contrast=False)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_crops.py OUTPUT_DIR")
    main(sys.argv[1])
