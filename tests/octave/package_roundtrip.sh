#!/usr/bin/env bash
# The Octave package as a user installs it: `pkg install` of the tarball into
# a private prefix (compiling the MEX files with mkoctfile), `pkg load`, the
# help texts, every agreement case bit for bit against the build's own
# sorvik.mex, and sorvik_denoise against the build's.
# Usage: package_roundtrip.sh OCTAVE TARBALL MODULE_DIR SUPPORT_DIR
set -euo pipefail
octave=$1 tarball=$2 module_dir=$3 support_dir=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$octave" --no-gui --no-window-system --norc --no-history --quiet --eval "
  pkg prefix $work/share $work/arch;
  pkg local_list $work/packages;
  pkg install $tarball;
  pkg load sorvik;
  addpath ('$support_dir');
  assert (! isempty (strfind (evalc ('help sorvik'), 'Collaborative Wiener filtering')), 'help sorvik shows no documentation');
  cases = agreement_cases ();
  run = @(c) sorvik (c.noisy, [], c.params(1), c.params(2), c.params(3), [], [], c.params(4), c.params(5), c.params(6), c.window, c.pilot);
  installed = arrayfun (run, cases, 'UniformOutput', false);
  photo = uint8 (255 * cases(1).noisy);
  [installed_denoised, installed_sigma] = sorvik_denoise (photo);
  assert (! isempty (strfind (evalc ('help sorvik_denoise'), 'imread')), 'help sorvik_denoise shows no documentation');
  assert (! isempty (strfind (which ('sorvik'), '$work')), 'sorvik is not the installed one');
  pkg unload sorvik;
  addpath ('$module_dir');
  clear sorvik;
  built = arrayfun (run, cases, 'UniformOutput', false);
  [built_denoised, built_sigma] = sorvik_denoise (photo);
  assert (isequal (installed_denoised, built_denoised) && installed_sigma == built_sigma, ...
          'the installed sorvik_denoise differs from the built one');
  assert (! isempty (strfind (which ('sorvik'), '$module_dir')), 'sorvik is not the built one');
  for k = 1:numel (cases)
    assert (isequaln (typecast (installed{k}(:), 'uint32'), typecast (built{k}(:), 'uint32')), ...
            'the installed package differs from sorvik.mex on %s', cases(k).name);
  end
  printf ('installed package agrees with sorvik.mex on %d calls\n', numel (cases));
"
