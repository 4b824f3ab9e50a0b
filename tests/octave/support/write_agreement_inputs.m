## write_agreement_inputs (file)
##
## Writes the calls of agreement_cases for the native module's runner
## (tests/octave/native_outputs.cpp, which documents the layout).
function write_agreement_inputs (file)
  cases = agreement_cases ();
  fid = fopen (file, "w", "ieee-le");
  if (fid < 0)
    error ("write_agreement_inputs: cannot write %s", file);
  endif
  unwind_protect
    fwrite (fid, "SRVKOCT1", "uchar");
    fwrite (fid, numel (cases), "double");
    for k = 1:numel (cases)
      c = cases(k);
      fwrite (fid, [size(c.noisy), size(c.window), c.params], "double");
      fwrite (fid, c.noisy, "double");
      fwrite (fid, c.window, "double");
      fwrite (fid, c.pilot, "single");
    endfor
  unwind_protect_cleanup
    fclose (fid);
  end_unwind_protect
endfunction
