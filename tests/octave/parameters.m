## sorvik_denoise's name-value pairs follow the table every front end shares:
## the same bounds as the tool and Python, one rule for each kind of value,
## and clear messages for inputs that are no image.

%!shared noisy
%! noisy = uint8 (round (255 * mod ((1:48)' * (1:48) * 0.013, 1)));

## Bounds by sense, named as Octave spells them.
%!error <'Threads' must be at most 1024, not 100000> sorvik_denoise (noisy, 20, "Threads", 100000)
%!error <'BlockSize' must be at most 64, not 65> sorvik_denoise (noisy, 20, "BlockSize", 65)
%!error <'SearchRadius' must be at most 4096> sorvik_denoise (noisy, 20, "SearchRadius", 4097)
%!error <'BlockSize' 48 is larger than the image \(48 x 40\)> sorvik_denoise (noisy(:, 1:40), 20, "BlockSize", 48)

## The step follows a small block, as in the tool and Python.
%!test
%! J = sorvik_denoise (noisy, 20, "BlockSize", 2);
%! assert (size (J), size (noisy));

## Integer data has its type's range, here as everywhere.
%!error <'Range' applies to float images> sorvik_denoise (noisy, 20, "Range", [0 1000])

## Windows: the wrong kind, and weights too small for single precision, are
## refused before any work with a documented identifier.
%!test
%! ids = {};
%! tiny = ones (8);
%! tiny(1, 1) = 1e-45;
%! windows = {tiny, complex(ones (8), 1), "abcdefgh"};
%! for k = 1:numel (windows)
%!   try
%!     sorvik_denoise (noisy, 20, "Window", windows{k});
%!   catch err
%!     ids{end + 1} = err.identifier;
%!   end_try_catch
%! endfor
%! assert (ids, {"sorvik:invalidParameter", "sorvik:invalidParameter", "sorvik:invalidParameter"});
%!error <below the smallest normal> sorvik_denoise (noisy, 20, "Window", [1e-320, 1; 1, 1], "BlockSize", 2)

## Inputs that are no image.
%!error <sparse> sorvik_denoise (sparse (double (noisy) / 255))
%!error <Input 1 \(I\) is empty \(0 x 0\)> sorvik_denoise ([])
%!error id=sorvik:invalidImage sorvik_denoise (zeros (0, 5, "uint8"))

## Alpha must be an opacity.
%!error <alpha plane .* row 3, column 2> sorvik_denoise (cat (3, single (noisy) / 255, single ([ones(2, 48); 1, NaN, ones(1, 46); ones(45, 48)])), 0.08)
%!error <alpha plane> sorvik_denoise (cat (3, double (noisy) / 255, 5 * ones (48)), 0.08)

## The first stage's parameters: they reach the pilot, its own defaults
## change nothing, and bad ones are named as Octave spells them.
%!test
%! plain = sorvik_denoise (noisy, 20, "Threads", 1);
%! same = sorvik_denoise (noisy, 20, "Threads", 1, "firststage", "Grouped", "FirstBlockSize", 6, "FirstLambda", 2.5);
%! assert (isequal (same, plain));
%! dct = sorvik_denoise (noisy, 20, "Threads", 1, "FirstStage", "dct");
%! odd = sorvik_denoise (noisy, 20, "Threads", 1, "FirstBlockSize", 5, "FirstStep", 2, ...
%!                       "FirstMaxGroupSize", 8, "FirstSearchRadius", 7, "FirstLambda", 2.2, ...
%!                       "FirstMatchThreshold", 0.9);
%! assert (! isequal (dct, plain));
%! assert (! isequal (odd, plain));
%!error <'FirstStage' must be one of 'grouped', 'dct'> sorvik_denoise (noisy, 20, "FirstStage", 3)
## Colour takes the profile's colour point: its values given are its bits.
%!test
%! rgb = cat (3, noisy, noisy', flipud (noisy));
%! fast = sorvik_denoise (rgb, 20, "Profile", "fast", "Threads", 1);
%! given = sorvik_denoise (rgb, 20, "Step", 6, "SearchRadius", 10, "MaxGroupSize", 16, "FirstStage", "dct", "Threads", 1);
%! assert (isequal (fast, given));
%!error <'Profile' must be one of fast, default, quality, not 'slow'> sorvik_denoise (noisy, 20, "Profile", "slow")
%!error <'FirstStage' must be one of grouped, dct, not 'haar'> sorvik_denoise (noisy, 20, "FirstStage", "haar")
%!error <'FirstStep' must lie between 1 and the first stage's block size \(6\), not 7> sorvik_denoise (noisy, 20, "FirstStep", 7)
%!error <'FirstLambda' must be a finite number from 0 to 1000, not -1> sorvik_denoise (noisy, 20, "FirstLambda", -1)
%!error <'FirstBlockSize' 49 is larger than the image> sorvik_denoise (noisy, 20, "FirstBlockSize", 49)
%!error id=sorvik:invalidParameter sorvik_denoise (noisy, 20, "FirstStage", "dct", "FirstSearchRadius", 4)
