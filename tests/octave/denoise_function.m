## sorvik_denoise as Octave users call it: on what imread gives, on data in
## its own units, with the noise level estimated or given.

%!shared grey, colour, noisy_grey, noisy_colour, psnr
%! grey = imread (fullfile (getenv ("SORVIK_DATA_DIR"), "camera.png"))(101:228, 151:278);
%! colour = imread (fullfile (getenv ("SORVIK_DATA_DIR"), "astronaut.png"))(51:178, 201:328, :);
%! randn ("state", 3);
%! noisy_grey = uint8 (double (grey) + 20 * randn (size (grey)));
%! noisy_colour = uint8 (double (colour) + 20 * randn (size (colour)));
%! psnr = @(a, ref) 10 * log10 (255 ^ 2 / mean ((double (a(:)) - double (ref(:))) .^ 2));

## imread's uint8, grey and colour: same class and size back, the noise level
## found within 10 % (it is 20 levels before rounding and clipping), and the
## image far cleaner than the input.
%!test
%! [J, sigma] = sorvik_denoise (noisy_grey);
%! assert (class (J), "uint8");
%! assert (size (J), size (grey));
%! assert (abs (sigma - 20) < 2, "estimated sigma %g", sigma);
%! assert (psnr (J, grey) > psnr (noisy_grey, grey) + 5);
%!test
%! [J, sigma] = sorvik_denoise (noisy_colour, 20, "Threads", 2);
%! assert (class (J), "uint8");
%! assert (size (J), size (colour));
%! assert (sigma, 20);
%! assert (psnr (J, colour) > psnr (noisy_colour, colour) + 5);

## Units: the same image as uint16 levels and as doubles far outside [0, 1]
## (sigma scaled with the data) gives the same image in those units.
%!test
%! J8 = double (sorvik_denoise (noisy_grey, 20));
%! J16 = double (sorvik_denoise (uint16 (double (noisy_grey) * 257), 20 * 257));
%! Jd = sorvik_denoise (1000 + 4 * double (noisy_grey), 80, "Range", [1000, 1000 + 4 * 255]);
%! assert (class (Jd), "double");
%! assert (max (abs (J16(:) / 257 - J8(:))) <= 1);
%! assert (max (abs ((Jd(:) - 1000) / 4 - J8(:))) <= 0.51);

## single data within [0, 1] is taken as it is, never clipped on the way out,
## and an alpha plane passes through untouched.
%!test
%! x = single (noisy_grey) / 255;
%! alpha = single (rand (size (x)));
%! J = sorvik_denoise (cat (3, x, alpha), 20 / 255);
%! assert (class (J), "single");
%! assert (size (J), [size(x), 2]);
%! assert (J(:, :, 2), alpha);
%! assert (max (abs (J(:, :, 1)(:) - single (sorvik_denoise (x, 20 / 255))(:))), single (0));

## Bad input is refused with an identifier that names what is wrong.
%!error <Input 1 \(I\)> sorvik_denoise (int32 (noisy_grey))
%!error <planes> sorvik_denoise (zeros (40, 40, 5, "uint8"))
%!error <sigma> sorvik_denoise (noisy_grey, -1)
%!error <Unknown parameter 'Blocksz'> sorvik_denoise (noisy_grey, 20, "Blocksz", 8)
%!error <'BlockSize' must be a whole number> sorvik_denoise (noisy_grey, 20, "BlockSize", 7.5)
%!error <constant> sorvik_denoise (zeros (64, 64, "uint8") + 7)
%!error <row 3, column 2> sorvik_denoise ([rand(2, 40); 0.5, NaN, rand(1, 38); rand(37, 40)])
%!test
%! ids = {};
%! calls = {@() sorvik_denoise (int32 (noisy_grey)), @() sorvik_denoise (noisy_grey, 0), ...
%!          @() sorvik_denoise (noisy_grey, 20, "Nope", 1), @() sorvik_denoise (noisy_grey, 20, "Step", 0)};
%! for k = 1:numel (calls)
%!   try
%!     calls{k} ();
%!   catch err
%!     ids{end + 1} = err.identifier;
%!   end_try_catch
%! endfor
%! assert (ids, {"sorvik:invalidImage", "sorvik:invalidSigma", "sorvik:unknownParameter", ...
%!               "sorvik:invalidParameter"});
%!test
%! try
%!   [a, b, c, d] = sorvik_denoise (noisy_grey);
%!   error ("four outputs were accepted");
%! catch err
%!   assert (err.identifier, "sorvik:tooManyOutputs");
%! end_try_catch

## Photon counts: the model comes back as a struct in the third output, the
## noise at the mean level as sigma; the given model gives the same call's
## bits as the estimated one would with those values; refusals name the
## parameter as Octave spells it.
%!test
%! rand ("state", 5); randn ("state", 5);
%! [x, y] = meshgrid (1:128, 1:120);
%! photons = 40 * (0.55 + 0.45 * sin (x / 7) .* cos (y / 9));
%! k = zeros (size (photons));
%! u = rand (size (photons)); p = exp (-photons); c = p;
%! for n = 1:200
%!   k += u > c; p .*= photons / n; c += p;
%! endfor
%! counts = 100 + 3 * k + 2 * randn (size (k));
%! [J, sigma, model] = sorvik_denoise (counts, "Threads", 2);
%! assert (model.Kind, "poisson-gaussian");
%! assert (abs (model.Gain / 3 - 1) < 0.15, "gain %g", model.Gain);
%! assert (sigma, model.Sigma);
%! clean = 100 + 3 * photons;
%! assert (psnr (J / 3, clean / 3) > psnr (counts / 3, clean / 3) + 5);
%! [G, s2, given] = sorvik_denoise (counts, "NoiseModel", "poisson-gaussian", "Gain", model.Gain, ...
%!                                  "ReadNoise", model.ReadNoise, "Offset", model.Offset);
%! assert (G, J);
%! assert (given.Kind, "poisson-gaussian");
%! [W, s3, white] = sorvik_denoise (counts, "NoiseModel", "gaussian");
%! assert (white.Kind, "gaussian");
%! assert (white.Sigma, s3);
%!error <'Gain' must be a finite number > 0> sorvik_denoise (rand (40), "Gain", 0)
%!error <'Offset' 5 lies above the data's maximum> sorvik_denoise (rand (40), "Offset", 5)
%!error <'NoiseModel' poisson-gaussian cannot be given with Input 2 \(sigma\)> sorvik_denoise (rand (40), 0.1, "NoiseModel", "poisson-gaussian")
%!error <'NoiseModel' must be one of> sorvik_denoise (rand (40), "NoiseModel", "pink")
%!test
%! [C, s, model] = sorvik_denoise (rand (40), "NoiseModel", "correlated");
%! assert (size (C), [40, 40]);
%! assert (model.Kind, "correlated");
%! assert (model.Sigma, s);

%!test
%! text = evalc ("help sorvik_denoise");
%! assert (! isempty (strfind (text, "imread")));
%! assert (! isempty (strfind (text, "'SearchRadius'")));
