#!/bin/sh
# Every program that scripts/demo.sh and tests/e2e/run.mjs start (and the job
# process that the host's control starts for printToPDF and print) must be
# built by the target they build, kestrix-programs; and they must build that
# target, not a list filtered through `--target help` (which under Ninja
# never names an executable).
#   programs_test.sh SOURCE_DIR BUILD_DIR NINJA
set -eu
src="$1" build="$2" ninja="$3"
fail=0

built="$("$ninja" -C "$build" -t query kestrix-programs 2>&1)" || {
  echo "no kestrix-programs target: $built"
  exit 1
}
needed="$( {
  grep -oE '\$build/kestrix-[a-z0-9-]+' "$src/scripts/demo.sh" | sed 's|.*/||'
  grep -oE 'path\.join\(build, "kestrix-[a-z0-9-]+"' "$src/tests/e2e/run.mjs" | sed 's|.*"\(kestrix-[^"]*\)"|\1|'
  grep -oE '"kestrix-job"' "$src/src/control/base/ControlPaths.cpp" | tr -d '"'
} | sort -u)"
[ -n "$needed" ] || { echo "found no program names in the scripts"; exit 1; }
for program in $needed; do
  if printf '%s\n' "$built" | grep -qx "    $program"; then
    echo "built by kestrix-programs: $program"
  else
    echo "NOT built by kestrix-programs: $program"
    fail=1
  fi
done

for script in scripts/demo.sh .ci/run; do
  if grep -q -- '--target help' "$src/$script"; then
    echo "$script picks its targets from --target help"
    fail=1
  fi
done
grep -q -- '--target kestrix-programs' "$src/scripts/demo.sh" || { echo "scripts/demo.sh does not build kestrix-programs"; fail=1; }
grep -q -- '--target kx-threaded-tests' "$src/.ci/run" || { echo ".ci/run does not build kx-threaded-tests for TSan"; fail=1; }
exit $fail
