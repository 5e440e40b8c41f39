#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -fsanitize=fuzzer,address,undefined)
# and runs each one for a bounded time, starting from the seed corpus in
# fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh                 60 s per target (what CI runs)
#   scripts/fuzz.sh 3600            an hour per target
#   scripts/fuzz.sh 600 dom bridge  only those targets
#
# Environment: KX_FUZZ_BUILD (build folder, default build-fuzz),
# KX_FUZZ_KEEP=1 to add what the run found to the seed corpus in the tree.
#
# Inputs the run finds are kept in <build>/fuzz/work/<target>/; a crash, leak
# or time-out is written to <build>/fuzz/artifacts/ and fails the script. To
# turn one into a regression input, copy it to fuzz/regressions/<target>/:
# the ctest "fuzz_replay_<target>" replays every seed and regression input in
# every build.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

seconds="${1:-60}"
shift || true
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [seconds-per-target] [target...]" >&2; exit 2 ;; esac
build="${KX_FUZZ_BUILD:-$root/build-fuzz}"

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing (Debian package clang, see scripts/packages.txt)" >&2
  exit 1
fi
runtime="$(clang++ --print-runtime-dir 2>/dev/null)/libclang_rt.fuzzer-x86_64.a"
if [ ! -f "$runtime" ]; then
  echo "fuzz.sh: libFuzzer is missing ($runtime; Debian package libclang-rt-14-dev)" >&2
  exit 1
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_FUZZ=ON \
  -DKESTRIX_SANITIZE=address,undefined -DKESTRIX_TESTS=ON -DKESTRIX_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target kx_fuzz_all

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do
    t="$(basename "$f" .cpp)"
    targets+=("${t#fuzz_}")
  done
fi

mkdir -p "$build/fuzz/artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The host writes its bootstrap page to TMPDIR: keep that out of /tmp's way.
export TMPDIR="$build/fuzz/tmp"
mkdir -p "$TMPDIR"

passed=0
failed=0
summary=()
for t in "${targets[@]}"; do
  program="$build/fuzz/fuzz_$t"
  if [ ! -x "$program" ]; then
    echo "fuzz.sh: no target $t" >&2
    failed=$((failed + 1))
    continue
  fi
  work="$build/fuzz/work/$t"
  mkdir -p "$work"
  args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1
        -artifact_prefix="$build/fuzz/artifacts/$t-")
  if [ -f "fuzz/dict/$t.dict" ]; then args+=(-dict="fuzz/dict/$t.dict"); fi
  dirs=("$work" "fuzz/corpus/$t")
  if [ -d "fuzz/regressions/$t" ]; then dirs+=("fuzz/regressions/$t"); fi
  log="$build/fuzz/$t.log"
  echo "== fuzz_$t for ${seconds}s"
  rc=0
  "$program" "${args[@]}" "${dirs[@]}" >"$log" 2>&1 || rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  added="$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)"
  rss="$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)"
  cov="$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)"
  corpus="$(find "$work" -type f | wc -l)"
  line="fuzz_$t: ${runs:-?} inputs executed, ${added:-?} new, corpus $corpus, coverage ${cov:-?} edges, peak RSS ${rss:-?} MB"
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1))
    summary+=("PASS $line")
  else
    failed=$((failed + 1))
    summary+=("FAIL $line (exit $rc; see $log)")
    grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz_|Test unit written|artifact_prefix)' "$log" | head -20 >&2 || true
  fi
  if [ "${KX_FUZZ_KEEP:-0}" = 1 ]; then
    # Only inputs that add coverage over the seeds join them.
    "$program" -merge=1 "fuzz/corpus/$t" "$work" >/dev/null 2>&1 || true
  fi
done

echo "== fuzzing summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
