## sorvik called as an Octave user calls it: a crop of a real photograph,
## noise from a fixed seed, the parameters the filter is tuned for.

%!shared sigma, w, clean, noisy, estimate
%! sigma = 25 / 255;
%! [clean, noisy] = sorvik_test_photo (96, 96, sigma);
%! w = kaiser_window (8, 2) * kaiser_window (8, 2)';
%! estimate = sorvik (noisy, [], 3, 8, 32, [], [], 0.19685, 19, sigma, w, single (clean));

%!test
%! assert (class (estimate), "single");
%! assert (size (estimate), [96, 96]);
%! assert (isreal (estimate));
%! assert (all (isfinite (estimate(:))));

## With the clean image as pilot the Wiener shrinkage is nearly ideal: most of
## the noise goes. Returning the input, or blurring it, would not pass.
%!test
%! noisy_error = sqrt (mean ((noisy(:) - clean(:)) .^ 2));
%! estimate_error = sqrt (mean ((double (estimate(:)) - clean(:)) .^ 2));
%! assert (estimate_error < noisy_error / 2);

## The way the filter is used: the pilot is a rough first estimate (here a
## 3 x 3 mean), and the result improves on both the noisy image and the pilot.
%!test
%! box = ones (3) / 9;
%! pilot = conv2 (noisy, box, "same") ./ conv2 (ones (size (noisy)), box, "same");
%! out = sorvik (noisy, [], 3, 8, 32, [], [], 0.19685, 19, sigma, w, single (pilot));
%! assert (class (out), "single");
%! assert (size (out), size (noisy));
%! rms = @(x) sqrt (mean ((double (x(:)) - clean(:)) .^ 2));
%! assert (rms (out) < rms (pilot));
%! assert (rms (out) < rms (noisy));

## Nothing persists between calls: the same call gives the same bits.
%!test
%! again = sorvik (noisy, [], 3, 8, 32, [], [], 0.19685, 19, sigma, w, single (clean));
%! assert (isequaln (typecast (again(:), "uint32"), typecast (estimate(:), "uint32")));
