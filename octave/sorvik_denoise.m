% SORVIK_DENOISE  Denoise a grey or colour image in one call.
%
%   J = SORVIK_DENOISE(I)
%   J = SORVIK_DENOISE(I, SIGMA)
%   J = SORVIK_DENOISE(..., 'Name', Value, ...)
%   [J, SIGMA, MODEL] = SORVIK_DENOISE(...)
%
%   Removes additive white Gaussian noise from I: a first stage (matched
%   groups of blocks, hard-thresholded together) makes a pilot, then
%   collaborative Wiener filtering (the function SORVIK) runs with it as the
%   pilot. Colour images are filtered in an opponent colour space, with the
%   blocks grouped once on the luminance and shared by all three channels.
%
%   I is what imread gives, uint8 or uint16, M x N (grey) or M x N x 3 (RGB),
%   or single or double data. M x N x 2 and M x N x 4 hold an alpha channel
%   as the last plane, which passes through unchanged. J has the class and
%   size of I: integers rounded and saturated, floating point never clipped.
%
%   SIGMA is the noise standard deviation in the units of I: levels of a
%   uint8 or uint16 image (e.g. 25 for noise of 25 grey levels in 8-bit
%   data), values of single or double data. Left out or [], it is estimated
%   from I, and the second output gives the value used. Floating-point data
%   within [0, 1] is taken as it is; other floating-point data is mapped
%   from its minimum and maximum (or 'Range') onto [0, 1], SIGMA with it,
%   and the result is mapped back.
%
%   Without SIGMA the noise model is chosen from I: white Gaussian noise, or
%   photon counts (microscopes, telescopes, raw camera frames) whose noise
%   grows with the signal, I = Offset + Gain * Poisson(signal) +
%   N(0, ReadNoise^2). Counts are stabilised to unit noise, filtered, and
%   mapped back by an exact unbiased inverse. MODEL, the third output, is a
%   struct with fields Kind ('gaussian', 'correlated' or
%   'poisson-gaussian'), Sigma (for counts: the noise at I's mean level),
%   Gain, ReadNoise and Offset, in the units of I; SIGMA stays the second
%   output.
%
%   Parameters (name-value pairs, names in any case):
%     'NoiseModel'      'auto' (chosen from I), 'gaussian', 'correlated'
%                       (not white: camera JPEGs) or 'poisson-gaussian'
%                       ('auto'); a given SIGMA means 'gaussian' (with
%                       'correlated': its level), and rules out
%                       'poisson-gaussian'
%     'Gain'            poisson-gaussian: units of I per photon, above 0
%                       (estimated)
%     'ReadNoise'       poisson-gaussian: the signal-free noise, in the
%                       units of I, above 0 (estimated)
%     'Offset'          poisson-gaussian: the value of I at no signal, at
%                       most I's maximum (estimated); giving any of these
%                       three means 'poisson-gaussian'
%     'Profile'         'fast' (NL-means' time; dct first stage),
%                       'default' or 'quality' (about 1.7 x the default's
%                       time, 0.05-0.1 dB better): sets Step, MaxGroupSize,
%                       SearchRadius and the first stage's values; any of
%                       them given as well replaces the profile's
%     'BlockSize'       block side, 2 to 64 and at most I's side (8)
%     'Step'            spacing of reference blocks, 1 to BlockSize
%                       (the profile's; default 4)
%     'MaxGroupSize'    most blocks in a group, 1 to 4096 (the profile's;
%                       default 32)
%     'SearchRadius'    blocks are searched within this many rows and
%                       columns, 0 to 4096 (the profile's; default 16;
%                       with 'Frames', at most 8)
%     'MatchThreshold'  the largest spectral distance of a match, 0 to
%                       1048576 (0.19685)
%     'Window'          BlockSize x BlockSize aggregation weights, each a
%                       single-precision normal number (Kaiser, beta 2)
%     'Threads'         threads to use, 1 to 1024 (every processor); the
%                       result is the same bits for any count
%     'Range'           [low, high]: the values of floating-point I that map
%                       to 0 and 1 (default: [0, 1], or I's minimum and maximum
%                       when I lies outside [0, 1]); uint8 and uint16 I use
%                       their type's range
%   The first stage (its parameters by the profile, then SIGMA, where not
%   given):
%     'FirstStage'      'grouped' (the profile's) or 'dct': each 8 x 8 block
%                       hard-thresholded alone (faster, rougher)
%     'FirstBlockSize'  its block side, 2 to 64 and at most I's side (6)
%     'FirstStep'       its spacing of reference blocks, 1 to
%                       FirstBlockSize (the profile's: 4; quality: 3, 4 above
%                       SIGMA 40 of 255)
%     'FirstMaxGroupSize'  its most blocks in a group, 1 to 4096 (the
%                       profile's: 16; quality: 16, 32 above SIGMA 40 of 255)
%     'FirstSearchRadius'  its search radius, 0 to 4096 (the profile's: 12;
%                       quality: 16; with 'Frames': 8)
%     'FirstLambda'     its hard threshold in multiples of SIGMA, 0 to 1000
%                       (2.5)
%     'FirstMatchThreshold'  its largest spectral distance of a match, on
%                       the noisy image, 0 to 1048576 (max(0.2, 260 s^2),
%                       s = SIGMA on the 0..1 scale)
%     'Frames'          true: I is M x N x K grey or M x N x 3 x K RGB
%                       frames of one sequence, denoised together (one
%                       noise model for all) (false)
%     'TemporalRadius'  frames on each side whose blocks join a frame's
%                       groups, 0 to 16 (3); 0 denoises each frame alone
%     'PredictiveRadius'  block positions searched in each of them around
%                       the best match of the frame next to it, 0 to 64 (4)
%   The bounds are those of the sorvik tool and the Python package.
%
%   Example:
%     I = imread ("astronaut.png");
%     noisy = uint8 (double (I) + 20 * randn (size (I)));
%     [J, sigma] = sorvik_denoise (noisy);     % sigma is about 20
%     imshow ([noisy, J]);
%     counts = poissrnd (50 * double (I) / 255);  % photon counts
%     [K, ~, model] = sorvik_denoise (counts);  % model.Kind: 'poisson-gaussian'
%
%   Errors carry identifiers sorvik:invalidImage, sorvik:invalidSigma,
%   sorvik:invalidParameter, sorvik:unknownParameter, sorvik:nonFiniteInput,
%   sorvik:invalidInput (for example a constant image, whose noise cannot be
%   estimated), sorvik:tooManyOutputs, sorvik:notEnoughInputs,
%   sorvik:tooLarge, sorvik:outOfMemory and sorvik:failed.
%
%   This file holds the documentation only; the function is the MEX file
%   beside it.
%
%   See also SORVIK.
