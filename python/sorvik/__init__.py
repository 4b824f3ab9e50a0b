"""sorvik: collaborative Wiener denoising of images.

Images are numpy arrays indexed [row, column]. ``denoise`` removes
Gaussian noise from a grey or colour image of any usual dtype in one call,
with the noise level estimated (``estimate_sigma``; ``estimate_noise`` for
the noise model, white or photon counts) or given in the data's own units. ``wiener`` filters a noisy
image with the groups and Wiener coefficients that a pilot (an estimate of
the clean image) gives; ``basic_estimate`` makes such a pilot. Results are
the same bits for any number of threads, and the same as the MEX function
``sorvik`` and the ``sorvik`` command-line tool give.
"""

from ._denoise import NoiseModel, denoise, estimate_noise, estimate_sigma
from ._sorvik import __version__, basic_estimate, kaiser_window, parameters, wiener

__all__ = ["NoiseModel", "__version__", "basic_estimate", "denoise", "estimate_noise", "estimate_sigma",
           "kaiser_window", "parameters", "wiener"]
