## Calls that break the argument contract end in an error with an identifier
## naming the input (sorvik:invalid<Name>, or sorvik:notEnoughInputs,
## sorvik:tooLarge) and a message saying what was expected and what was given;
## the module is whole afterwards. Odd values within the contract are not
## refused.

%!shared args, reference
%! noisy = reshape (mod ((1:400) * 0.37, 1), 20, 20);
%! ## noisy, -, step, blockSize, maxGroupSize, -, -, matchThreshold,
%! ## searchRadius, sigma, window, pilot
%! args = {noisy, [], 2, 4, 8, [], [], 2, 3, 0.1, ones(16, 1), single(noisy)};
%! reference = sorvik (args{:});

## The identifier of the error that the call raises ("" for none).
%!function id = refusal (args, varargin)
%!  id = "";
%!  try
%!    call_with (args, varargin{:});
%!  catch err
%!    id = err.identifier;
%!  end_try_catch
%!endfunction

## Fewer than twelve inputs.
%!error id=sorvik:notEnoughInputs sorvik ()
%!error id=sorvik:notEnoughInputs sorvik (args{1:11})
%!error <sorvik needs 12 inputs .*; got 11\.> sorvik (args{1:11})

## One refusal of each kind, with its message.
%!error id=sorvik:invalidNoisy call_with (args, 1, single (args{1}))
%!error <Input 1 \(noisy\) must be a 2-D real double matrix; got double 4x4x2\.> call_with (args, 1, ones (4, 4, 2))
%!error id=sorvik:invalidStep call_with (args, 3, [])
%!error <Input 3 \(step\) must be a real double scalar; got empty double 0x0\.> call_with (args, 3, [])
%!error id=sorvik:invalidBlockSize call_with (args, 4, 1.4)
%!error <Input 4 \(blockSize\) must be at least 2 after rounding; got 1\.4, which rounds to 1\.> call_with (args, 4, 1.4)
%!error id=sorvik:invalidMaxGroupSize call_with (args, 5, 0)
%!error <Input 5 \(maxGroupSize\) must round to a 32-bit integer; got NaN\.> call_with (args, 5, NaN)
%!error id=sorvik:invalidMatchThreshold call_with (args, 8, int32 (2))
%!error id=sorvik:invalidSearchRadius call_with (args, 9, -1.5)
%!error <Input 9 \(searchRadius\) must round to a 32-bit integer; got -Inf\.> call_with (args, 9, -Inf)
%!error id=sorvik:invalidSigma call_with (args, 10, complex (0.1, 0))
%!error <Input 10 \(sigma\) must be a real double scalar; got complex double 1x1\.> call_with (args, 10, complex (0.1, 0))
%!error id=sorvik:invalidWindow call_with (args, 11, ones (15, 1))
%!error <Input 11 \(window\) must have at least blockSize\^2 = 16 elements; got double 15x1 \(15 elements\)\.> call_with (args, 11, ones (15, 1))
%!error id=sorvik:invalidPilot call_with (args, 12, args{1})
%!error <Input 12 \(pilot\) must have at least as many elements as input 1 \(noisy\), 20 x 20 = 400; got single 19x20 \(380 elements\)\.> call_with (args, 12, args{12}(1:19, :))
%!error id=sorvik:tooLarge call_with (args, 1, zeros (600), 12, single (zeros (600)), 4, 300, 9, 400, 11, ones (300))

## sorvik has one output; asking for two is refused before any work.
%!error id=sorvik:tooManyOutputs [a, b] = sorvik (args{:});
%!error <sorvik has one output; 2 were requested\.> [a, b] = sorvik (args{1:3});

## Every read input refuses other classes, complex and sparse arrays.
%!test
%! ids = {1, "sorvik:invalidNoisy"; 3, "sorvik:invalidStep"; 4, "sorvik:invalidBlockSize";
%!        5, "sorvik:invalidMaxGroupSize"; 8, "sorvik:invalidMatchThreshold";
%!        9, "sorvik:invalidSearchRadius"; 10, "sorvik:invalidSigma";
%!        11, "sorvik:invalidWindow"; 12, "sorvik:invalidPilot"};
%! for row = 1:rows (ids)
%!   [position, id] = deal (ids{row, :});
%!   valid = args{position};
%!   wrong = {int32(valid), uint8(valid), logical(valid), {valid}, struct("v", valid), "4", ...
%!            complex(valid, valid)};
%!   if (isa (valid, "single"))
%!     wrong(end + 1) = {double(valid)};
%!   else
%!     wrong(end + 1 : end + 2) = {single(valid), sparse(valid)};
%!   endif
%!   for k = 1:numel (wrong)
%!     assert (refusal (args, position, wrong{k}), id, sprintf ("input %d, case %d", position, k));
%!   endfor
%! endfor

## Empty scalars, and integer parameters that do not round to an int32.
%!test
%! ids = {3, "sorvik:invalidStep"; 4, "sorvik:invalidBlockSize";
%!        5, "sorvik:invalidMaxGroupSize"; 9, "sorvik:invalidSearchRadius"};
%! for row = 1:rows (ids)
%!   [position, id] = deal (ids{row, :});
%!   for value = {[], zeros(1, 0), NaN, Inf, -Inf, 1e10, -1e10, 2147483647.5, -2147483649.5}
%!     assert (refusal (args, position, value{1}), id);
%!   endfor
%! endfor
%! assert (refusal (args, 8, zeros (0, 3)), "sorvik:invalidMatchThreshold");
%! assert (refusal (args, 10, zeros (3, 0)), "sorvik:invalidSigma");

## Values within the contract are filtered, not refused.
%!test
%! assert (refusal (args, 3, 0), "");
%! assert (refusal (args, 3, -2147483648.6), "");
%! assert (refusal (args, 4, 1.5), "");
%! assert (refusal (args, 5, 0.5), "");
%! assert (refusal (args, 9, -1), "");
%! for value = {0, -0.1, NaN, Inf}
%!   assert (refusal (args, 10, value{1}), "");
%! endfor
%! ## A threshold above the empty-entry mark acts as the mark.
%! at_mark = call_with (args, 8, 1048576);
%! for value = {2e6, 1e300, Inf}
%!   assert (isequaln (call_with (args, 8, value{1}), at_mark));
%! endfor

## Non-finite pixels are filtered as the arithmetic defines, with one warning
## per call that counts them and gives the first one's place; a warning made
## an error leaves nothing behind.
%!test
%! noisy = args{1};
%! noisy([7, 45]) = [NaN, Inf];
%! pilot = args{12};
%! pilot(3) = -Inf;
%! lastwarn ("", "");
%! state = warning ("query", "sorvik:nonFiniteInput");
%! unwind_protect
%!   warning ("off", "backtrace");
%!   out = call_with (args, 1, noisy, 12, pilot);
%!   [msg, id] = lastwarn ();
%!   assert (id, "sorvik:nonFiniteInput");
%!   assert (! isempty (strfind (msg, "3 input values are not finite (NaN or Inf): 2 in input 1 (noisy), 1 in input 12 (pilot); the first is noisy(7, 1).")), msg);
%!   assert (size (out), size (noisy));
%!   assert (class (out), "single");
%!   lastwarn ("", "");
%!   sorvik (args{:});
%!   assert (lastwarn (), "");
%!   warning ("error", "sorvik:nonFiniteInput");
%!   assert (refusal (args, 1, noisy), "sorvik:nonFiniteInput");
%! unwind_protect_cleanup
%!   warning (state.state, "sorvik:nonFiniteInput");
%!   warning ("on", "backtrace");
%! end_unwind_protect

## After all the refusals the module still gives the same result.
%!test
%! for k = 1:3
%!   try
%!     call_with (args, 4, 1);
%!   end_try_catch
%! endfor
%! assert (isequaln (sorvik (args{:}), reference));
