% SORVIK  Collaborative Wiener filtering of a grey-scale image.
%
%   ESTIMATE = SORVIK(NOISY, [], STEP, BLOCKSIZE, MAXGROUPSIZE, [], [], ...
%                     MATCHTHRESHOLD, SEARCHRADIUS, SIGMA, WINDOW, PILOT)
%
%   Groups blocks that look alike in PILOT (an estimate of the clean image),
%   transforms each group jointly (2-D DFT of every block, 1-D DFT along the
%   group), shrinks the noisy group's coefficients with the Wiener factors
%   |pilot|^2 / (|pilot|^2 + SIGMA^2), transforms back and averages the
%   overlapping blocks. Pixel values are on a 0..1 scale. The result is the
%   same bits on every run, in every host.
%
%   Inputs (2, 6 and 7 are not used; pass []):
%     NOISY           real double M x N matrix, values on a 0..1 scale
%     STEP            spacing of reference blocks, e.g. 3 (1 or less: every block)
%     BLOCKSIZE       block side P, at least 2, e.g. 8
%     MAXGROUPSIZE    most blocks in a group, at least 1, e.g. 32
%     MATCHTHRESHOLD  a block joins a group when the squared distance of its
%                     pilot half spectrum to the reference's (DC left out) is
%                     below this, e.g. 0.19685; above 2^20 acts as 2^20
%     SEARCHRADIUS    blocks are searched within this many rows and columns, e.g. 19
%     SIGMA           noise standard deviation on the 0..1 scale, e.g. 25/255
%     WINDOW          real double array of at least P^2 elements: the
%                     aggregation weights, first P^2 in storage order
%                     (WINDOW(i, j) weights block row j-1, column i-1)
%     PILOT           real single M x N matrix, the estimate of the clean image
%
%   Whole-number inputs are rounded as fix(x + 0.5). ESTIMATE is a single
%   M x N matrix; a pixel that no block reached is NaN.
%
%   Example:
%     clean = double (imread ("camera.png")) / 255;
%     noisy = clean + 25/255 * randn (size (clean));
%     k = kaiser (8, 2);                      % or besseli-based, see docs/matlab-octave.md
%     estimate = sorvik (noisy, [], 3, 8, 32, [], [], 0.19685, 19, 25/255, ...
%                        k * k', single (clean));
%
%   Errors carry identifiers sorvik:tooManyOutputs, sorvik:notEnoughInputs,
%   sorvik:invalidNoisy, sorvik:invalidStep, sorvik:invalidBlockSize,
%   sorvik:invalidMaxGroupSize, sorvik:invalidMatchThreshold,
%   sorvik:invalidSearchRadius, sorvik:invalidSigma, sorvik:invalidWindow,
%   sorvik:invalidPilot, sorvik:tooLarge, sorvik:outOfMemory and
%   sorvik:planFailed. Pixels of NOISY or PILOT that are not finite give the
%   warning sorvik:nonFiniteInput.
%
%   This file holds the documentation only; the function is the MEX file
%   beside it (sorvik.mex in Octave, sorvik.mexa64 or sorvik.mexglx in MATLAB).
