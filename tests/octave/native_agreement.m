## sorvik.mex gives the native module's bits (sorvik.mexa64, called through
## the r14host loader) for the same inputs. CTest runs this after
## octave.native_agreement.inputs, which writes the calls from this Octave,
## and octave.native_agreement.native, which runs the native module on them;
## SORVIK_AGREEMENT_DIR names the folder of both files.

%!shared cases
%! cases = read_agreement_files (getenv ("SORVIK_AGREEMENT_DIR"));

%!function assert_agrees (c)
%!  p = num2cell (c.params);
%!  [step, blockSize, maxGroupSize, matchThreshold, searchRadius, sigma] = deal (p{:});
%!  out = sorvik (c.noisy, [], step, blockSize, maxGroupSize, [], [], matchThreshold,
%!                searchRadius, sigma, c.window, c.pilot);
%!  assert (class (out), "single");
%!  assert (size (out), size (c.native));
%!  mine = typecast (out(:), "uint32");
%!  theirs = typecast (c.native(:), "uint32");
%!  assert (isequaln (mine, theirs), "%d of %d pixels differ from the native module's",
%!          nnz (mine != theirs), numel (mine));
%!endfunction

## The native module was given exactly the calls this Octave makes.
%!test
%! expected = agreement_cases ();
%! assert (numel (cases), numel (expected));
%! for k = 1:numel (cases)
%!   assert (cases(k).noisy, expected(k).noisy);
%!   assert (cases(k).pilot, expected(k).pilot);
%!   assert (cases(k).window, expected(k).window);
%!   assert (cases(k).params, expected(k).params);
%! endfor

%!test assert_agrees (cases(1));   # 96 x 96 photograph, typical parameters
%!test assert_agrees (cases(2));   # non-square, step 1, tilted window, rough pilot
%!test assert_agrees (cases(3));   # non-whole parameters, larger window
%!test
%! assert_agrees (cases(4));   # smaller than a block
%! assert (all (isnan (cases(4).native(:))));

## Octave uses FFTW too. Its own transforms, run with threads and a measuring
## planner on the sizes the filter plans, leave wisdom and planner settings in
## FFTW's global state; the module's results must not depend on them (they
## did, on a busy machine, while the module shared Octave's FFTW).
%!test
%! threads = fftw ("threads");
%! planner = fftw ("planner");
%! unwind_protect
%!   fftw ("threads", 2);
%!   fftw ("planner", "measure");
%!   for n = [6, 8]
%!     spectrum = fft2 (single (rand (n)));
%!     block = ifft2 (spectrum);
%!   endfor
%!   for n = 2:32
%!     stack = ifft (fft (complex (single (rand (n, 1)), single (rand (n, 1)))));
%!   endfor
%!   for k = 1:numel (cases)
%!     assert_agrees (cases(k));
%!   endfor
%! unwind_protect_cleanup
%!   fftw ("planner", planner);
%!   fftw ("threads", threads);
%! end_unwind_protect
