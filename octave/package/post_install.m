## post_install (desc)
##
## Run by `pkg install`. Octave finds a MEX function's help text in a .m
## file beside the MEX file, but pkg installs .m files and MEX files in
## different folders; so each function's help file is copied next to its
## MEX file.
function post_install (desc)
  mex_files = glob (fullfile (desc.archprefix, "*", "*.mex"));
  for i = 1:numel (mex_files)
    [folder, name] = fileparts (mex_files{i});
    help_file = fullfile ("help", [name ".m"]);
    if (exist (help_file, "file"))
      [ok, message] = copyfile (help_file, folder);
      if (! ok)
        error ("sorvik: could not install the help of %s: %s", name, message);
      endif
    endif
  endfor
endfunction
