## w = kaiser_window (n, beta)
##
## The n-point Kaiser window as a column, I0(beta sqrt(1 - x^2)) / I0(beta)
## for x running from -1 to 1; the signal package, which has kaiser, is not
## part of a plain Octave install.
function w = kaiser_window (n, beta)
  x = 2 * (0:n - 1)' / (n - 1) - 1;
  w = besseli (0, beta * sqrt (1 - x .^ 2)) / besseli (0, beta);
endfunction
