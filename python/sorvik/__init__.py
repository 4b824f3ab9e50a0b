"""sorvik: collaborative Wiener denoising of images.

Images are numpy arrays indexed [row, column]. ``wiener`` filters a noisy
image with the groups and Wiener coefficients that a pilot (an estimate of
the clean image) gives; ``basic_estimate`` makes such a pilot. Results are
the same bits for any number of threads, and the same as the MEX function
``sorvik`` and the ``sorvik`` command-line tool give.
"""

from ._sorvik import __version__, basic_estimate, kaiser_window, wiener

__all__ = ["__version__", "basic_estimate", "kaiser_window", "wiener"]
