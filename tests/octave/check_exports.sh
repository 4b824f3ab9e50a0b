#!/usr/bin/env bash
# A MEX file as Octave opens it (readelf): soname its file name; exactly
# mexFunction and mexVersion exported, under the version MEX, so nothing of
# the filter can clash with Octave's own symbols; no RPATH. With
# --private-fftw, FFTW is linked in rather than shared with Octave.
# Usage: check_exports.sh MODULE [--private-fftw]
set -u
module=$1 fftw=${2:-}
symbols=$(readelf --dyn-syms -W "$module") || exit 1
dynamic=$(readelf -d "$module") || exit 1
failures=0
check() { if eval "$2"; then echo "ok:   $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi; }

exports=$(awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $7 != "ABS" { print $8 }' <<<"$symbols" | sort | tr '\n' ' ')
check "exports mexFunction@@MEX mexVersion@@MEX (got: $exports)" '[ "$exports" = "mexFunction@@MEX mexVersion@@MEX " ]'
name=$(basename "$module")
check "soname $name" 'grep -Fq "Library soname: [$name]" <<<"$dynamic"'
check "no RPATH/RUNPATH" '! grep -Eq "\((RPATH|RUNPATH)\)" <<<"$dynamic"'
if [ "$fftw" = --private-fftw ]; then
  check "FFTW linked in, not shared with Octave" '! grep -Fq "Shared library: [libfftw3f" <<<"$dynamic"'
fi
[ "$failures" -eq 0 ]
