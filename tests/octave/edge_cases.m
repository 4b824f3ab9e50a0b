## The corners of the calling contract, as an Octave user reaches them:
## empty and too-small images, parameters that are not whole numbers, inputs
## that are never read, window and pilot layout, and the output slot.

%!shared noisy, pilot, w, args, reference
%! [clean, noisy] = sorvik_test_photo (30, 37, 25 / 255);
%! pilot = single (clean);
%! w = kaiser_window (8, 2) * kaiser_window (8, 2)';
%! ## noisy, -, step, blockSize, maxGroupSize, -, -, matchThreshold,
%! ## searchRadius, sigma, window, pilot
%! args = {noisy, [], 3, 8, 32, [], [], 0.19685, 5, 25 / 255, w, pilot};
%! reference = sorvik (args{:});

%!function assert_same_bits (actual, expected)
%!  assert (class (actual), "single");
%!  assert (size (actual), size (expected));
%!  assert (isequaln (typecast (actual(:), "uint32"), typecast (expected(:), "uint32")));
%!endfunction

## An empty image gives an empty single image of the same shape.
%!test
%! for dims = {[0, 0], [0, 37], [30, 0]}
%!   [m, n] = deal (dims{1}(1), dims{1}(2));
%!   out = call_with (args, 1, zeros (m, n), 12, single (zeros (m, n)));
%!   assert (class (out), "single");
%!   assert (size (out), [m, n]);
%! endfor

## No block fits: nothing is aggregated and every pixel is 0 / 0.
%!test
%! for dims = {[7, 37], [30, 7], [7, 7], [1, 1]}
%!   [m, n] = deal (dims{1}(1), dims{1}(2));
%!   out = call_with (args, 1, noisy(1:m, 1:n), 12, pilot(1:m, 1:n));
%!   assert (class (out), "single");
%!   assert (size (out), [m, n]);
%!   assert (all (isnan (out(:))));
%! endfor

## One row or one column of block positions covers every pixel.
%!test
%! for dims = {[8, 8], [8, 37], [30, 8]}
%!   [m, n] = deal (dims{1}(1), dims{1}(2));
%!   out = call_with (args, 1, noisy(1:m, 1:n), 12, pilot(1:m, 1:n));
%!   assert (size (out), [m, n]);
%!   assert (all (isfinite (out(:))));
%! endfor

## Whole-number parameters are the double plus 0.5, truncated toward zero.
%!test assert_same_bits (call_with (args, 3, 2.5), reference);
%!test assert_same_bits (call_with (args, 4, 7.5), reference);
%!test assert_same_bits (call_with (args, 5, 31.5), reference);
%!test assert_same_bits (call_with (args, 9, 4.5), reference);
%!test
%! ## 7.49 is 7, not 8: the first 49 window entries weight a 7 x 7 block.
%! seven = call_with (args, 4, 7);
%! assert_same_bits (call_with (args, 4, 7.49), seven);
%! assert (! isequaln (seven, reference));
%!test
%! ## -0.4 and -0.6 are 0: every reference is a group of its own.
%! alone = call_with (args, 9, 0);
%! assert_same_bits (call_with (args, 9, -0.4), alone);
%! assert_same_bits (call_with (args, 9, -0.6), alone);
%! assert (! isequaln (alone, reference));
%!test
%! ## A step of 1 or less makes every block position a reference.
%! every = call_with (args, 3, 1);
%! assert_same_bits (call_with (args, 3, 0.4), every);
%! assert_same_bits (call_with (args, 3, -2), every);
%! assert (! isequaln (every, reference));

## matchThreshold and sigma are used in single precision.
%!test
%! assert_same_bits (call_with (args, 8, double (single (0.19685)), 10, double (single (25 / 255))),
%!                   reference);

## Input 2 is never read and inputs 6 and 7 are never used, whatever they are.
%!test
%! anything = {[], zeros(3), "text", {1, "a"}, struct("a", {1, 2}), true, int8([1, 2]), ...
%!             1 + 2i, sparse([0, 1]), single(3), @sin, containers.Map()};
%! for k = 1:numel (anything)
%!   assert_same_bits (call_with (args, 2, anything{k}), reference);
%!   assert_same_bits (call_with (args, 6, anything{k}), reference);
%!   assert_same_bits (call_with (args, 7, anything{k}), reference);
%!   assert_same_bits (call_with (args, 6, anything{k}, 7, anything{end + 1 - k}), reference);
%! endfor

## The pilot and the window are read in storage order, whatever their shape;
## a larger window gives its first blockSize^2 entries, a longer pilot its
## first M x N.
%!test
%! assert_same_bits (call_with (args, 11, w(:)', 12, pilot(:)), reference);
%! assert_same_bits (call_with (args, 12, [pilot(:); single(ones(7, 1))]), reference);
%! big = magic (10) / 100;
%! assert_same_bits (call_with (args, 11, big), call_with (args, 11, reshape (big(1:64), 8, 8)));

## Window storage entry r * 8 + c weights block pixel (row r, column c), so the
## Octave matrix W weights block pixel (r, c) with W(c + 1, r + 1): W and W'
## differ for a non-symmetric window. With searchRadius 0 and step 1 every
## block position is a reference and a group of its own, so raising one
## window entry changes exactly the pixels that its block pixel covers.
%!test
%! [m, n] = size (noisy);
%! flat = ones (8);
%! tilted = flat;
%! tilted(2, 5) = 4;   # storage index 1 + 4 * 8: block row 4, column 1
%! base = call_with (args, 3, 1, 9, 0, 11, flat);
%! changed = call_with (args, 3, 1, 9, 0, 11, tilted) != base;
%! expected = false (m, n);
%! expected(5:5 + m - 8, 2:2 + n - 8) = true;
%! assert (changed, expected);
%! changed = call_with (args, 3, 1, 9, 0, 11, tilted') != base;
%! expected = false (m, n);
%! expected(2:2 + m - 8, 5:5 + n - 8) = true;
%! assert (changed, expected);

## The output goes to the first output slot even when no output is asked for.
%!test
%! sorvik (args{:});
%! assert_same_bits (ans, reference);
