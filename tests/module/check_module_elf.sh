#!/usr/bin/env bash
# Checks a built MEX module with readelf, the way a host sees it:
#   - ELF class and machine (ELF32 / Intel 80386 for .mexglx, ELF64 / Advanced Micro Devices X86-64 for .mexa64);
#   - soname and base version definition (readelf -V) are the file name, and the
#     only other version definition is MEX;
#   - the defined dynamic symbols are exactly mexFunction@@MEX and mexVersion@@MEX;
#   - it needs libmx.so, libmex.so and libmat.so (readelf -d), and libfftw3f.so.3,
#     but not libstdc++ nor libgcc_s (static C++ runtime); no RPATH/RUNPATH, no TEXTREL.
# Usage: check_module_elf.sh MODULE CLASS MACHINE   e.g. sorvik.mexglx ELF32 'Intel 80386'
set -u
module=$1 class=$2 machine=$3
name=$(basename "$module")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

[ -f "$module" ] || { echo "FAIL: no module at $module"; exit 1; }
header=$(readelf -h "$module") || exit 1
dynamic=$(readelf -d "$module") || exit 1
versions=$(readelf -V "$module") || exit 1
symbols=$(readelf --dyn-syms -W "$module") || exit 1

grep -Eq "Class:[[:space:]]+$class\$" <<<"$header" && pass "class $class" || fail "class is not $class"
grep -Eq "Machine:[[:space:]]+$machine\$" <<<"$header" && pass "machine $machine" || fail "machine is not $machine"
grep -Eq "Type:[[:space:]]+DYN" <<<"$header" && pass "shared object" || fail "not a shared object"

grep -Fq "Library soname: [$name]" <<<"$dynamic" && pass "soname $name" || fail "soname is not $name"
for lib in libmx.so libmex.so libmat.so libfftw3f.so.3; do
  grep -Fq "Shared library: [$lib]" <<<"$dynamic" && pass "needs $lib" || fail "does not need $lib"
done
if grep -Eq "Shared library: \[(libstdc\+\+|libgcc_s)" <<<"$dynamic"; then
  fail "needs a shared C++ runtime"
else
  pass "static C++ runtime"
fi
grep -Eq "\((RPATH|RUNPATH)\)" <<<"$dynamic" && fail "has an RPATH/RUNPATH" || pass "no RPATH/RUNPATH"
grep -Eq "\(TEXTREL\)|TEXTREL" <<<"$dynamic" && fail "has text relocations" || pass "no text relocations"

# Version definitions: exactly the base (the file name) and MEX.
definitions=$(sed -n "/Version definition section/,/^$/p" <<<"$versions" | grep -E "Rev: ")
base=$(grep -E "Flags: BASE" <<<"$definitions" | sed -E 's/.*Name: //')
others=$(grep -Ev "Flags: BASE" <<<"$definitions" | sed -E 's/.*Name: //' | sort | tr '\n' ' ')
[ "$base" = "$name" ] && pass "base version definition $name" || fail "base version definition is '$base', not $name"
[ "$others" = "MEX " ] && pass "version definition MEX" || fail "other version definitions are '$others', not MEX"

# Defined dynamic symbols (section index not UND, not the ABS version symbols).
exports=$(awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $7 != "ABS" { print $8 }' <<<"$symbols" | sort | tr '\n' ' ')
[ "$exports" = "mexFunction@@MEX mexVersion@@MEX " ] && pass "exports mexFunction@@MEX mexVersion@@MEX" \
  || fail "exports are '$exports'"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed for $module"
  exit 1
fi
echo "all checks passed for $module"
