## cases = agreement_cases ()
##
## The calls on which sorvik.mex and the native module must give the same
## bits: a struct array with fields name, noisy, pilot, window and params
## ([step, blockSize, maxGroupSize, matchThreshold, searchRadius, sigma] as
## passed, before rounding). Built from the photograph and fixed seeds, so the
## same every time.
function cases = agreement_cases ()
  sigma = 25 / 255;
  kaiser = kaiser_window (8, 2) * kaiser_window (8, 2)';
  [clean, noisy] = sorvik_test_photo (96, 96, sigma);
  cases = struct ("name", "96 x 96 photograph, typical parameters",
                  "noisy", noisy, "pilot", single (clean), "window", kaiser,
                  "params", [3, 8, 32, 0.19685, 19, sigma]);

  ## Not square, every block position a reference, a rough pilot rather than
  ## the clean image, a non-symmetric window, groups of up to 9 (the group
  ## transform then runs lengths that are not powers of two).
  [~, noisy] = sorvik_test_photo (61, 83, 0.1);
  box = ones (3) / 9;
  pilot = conv2 (noisy, box, "same") ./ conv2 (ones (size (noisy)), box, "same");
  [r, c] = ndgrid (0:5);
  cases(end + 1) = struct ("name", "61 x 83, step 1, blockSize 6, maxGroupSize 9, tilted window",
                           "noisy", noisy, "pilot", single (pilot),
                           "window", 1 + 0.1 * r + 0.03 * c .^ 2,
                           "params", [1, 6, 9, 0.5, 4, 0.1]);

  ## Parameters that are not whole numbers (they act as 3, 8, 12 and 6), and
  ## a window with more than blockSize^2 entries.
  [clean, noisy] = sorvik_test_photo (40, 52, sigma);
  cases(end + 1) = struct ("name", "40 x 52, non-whole parameters, 9 x 9 window",
                           "noisy", noisy, "pilot", single (clean),
                           "window", magic (9) / 81,
                           "params", [2.5, 7.5, 12.4, 0.3, 5.5, 0.08]);

  ## Smaller than a block: every pixel is NaN, in both modules alike.
  [clean, noisy] = sorvik_test_photo (5, 12, sigma);
  cases(end + 1) = struct ("name", "5 x 12, smaller than a block",
                           "noisy", noisy, "pilot", single (clean), "window", kaiser,
                           "params", [3, 8, 32, 0.19685, 19, sigma]);
endfunction
