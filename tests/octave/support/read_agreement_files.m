## cases = read_agreement_files (folder)
##
## The calls in folder/inputs.bin, as the native module got them, each with
## the native module's output from folder/native.bin in the field native.
function cases = read_agreement_files (folder)
  inputs = fullfile (folder, "inputs.bin");
  outputs = fullfile (folder, "native.bin");
  if (isempty (folder) || ! exist (inputs, "file") || ! exist (outputs, "file"))
    error (["read_agreement_files: no %s or %s; CTest writes them before this ", ...
            "suite (octave.native_agreement.inputs, octave.native_agreement.native)"],
           inputs, outputs);
  endif

  fid = fopen (inputs, "r", "ieee-le");
  unwind_protect
    magic_text = char (fread (fid, [1, 8], "uchar=>uchar"));
    if (! strcmp (magic_text, "SRVKOCT1"))
      error ("read_agreement_files: %s is not an input file", inputs);
    endif
    count = fread (fid, 1, "double");
    cases = struct ("noisy", {}, "pilot", {}, "window", {}, "params", {});
    for k = 1:count
      header = fread (fid, [1, 10], "double");
      m = header(1);
      n = header(2);
      cases(k).noisy = fread (fid, [m, n], "double");
      cases(k).window = fread (fid, header(3:4), "double");
      cases(k).params = header(5:10);
      cases(k).pilot = fread (fid, [m, n], "single=>single");
    endfor
  unwind_protect_cleanup
    fclose (fid);
  end_unwind_protect

  fid = fopen (outputs, "r", "ieee-le");
  unwind_protect
    for k = 1:count
      [cases(k).native, got] = fread (fid, size (cases(k).noisy), "single=>single");
      if (got != numel (cases(k).noisy))
        error ("read_agreement_files: %s ends before output %d", outputs, k);
      endif
    endfor
  unwind_protect_cleanup
    fclose (fid);
  end_unwind_protect
endfunction
