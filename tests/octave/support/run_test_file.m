## status = run_test_file (file)
##
## Runs every test block of one suite file with Octave's `test`, going on
## after a failure and printing each failing block; 0 when all of them
## passed, 1 otherwise (a file without tests counts as a failure: it would
## otherwise hide a suite that no longer parses).
function status = run_test_file (file)
  [passed, total] = test (file, "quiet", stdout);
  printf ("%s: %d of %d tests passed\n", file, passed, total);
  status = ! (total > 0 && passed == total);
endfunction
