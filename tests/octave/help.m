## `help sorvik` prints the documentation from the help file beside the
## module, which names every input and the error identifiers.

%!test
%! text = evalc ("help sorvik");
%! for word = {"NOISY", "PILOT", "WINDOW", "SIGMA", "sorvik:invalidPilot"}
%!   assert (! isempty (strfind (text, word{1})), "help sorvik does not mention %s", word{1});
%! endfor
