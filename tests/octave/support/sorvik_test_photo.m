## [clean, noisy] = sorvik_test_photo (rows, cols, sigma)
##
## A rows x cols crop of data/camera.png on the 0-to-1 scale (the face, the
## camera and some sky: edges, texture and flat areas), and the same crop
## with white Gaussian noise of standard deviation sigma from a fixed seed,
## so that every run, and the native module, sees the same noisy image.
function [clean, noisy] = sorvik_test_photo (rows, cols, sigma)
  here = fileparts (mfilename ("fullpath"));
  photo = imread (fullfile (here, "..", "..", "..", "data", "camera.png"));
  clean = double (photo(101:100 + rows, 201:200 + cols)) / 255;
  randn ("state", 1);
  noisy = clean + sigma * randn (rows, cols);
endfunction
