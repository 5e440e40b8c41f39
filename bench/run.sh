#!/usr/bin/env bash
# Builds every benchmark (Release) and runs them one after the other, then
# prints the ratio line of each. The benchmarks measure their baselines in the
# same run; a missed target is reported, not failed. The exit status is non-zero
# only when a benchmark could not be built or could not run to its end.
#
#   bench/run.sh [BUILD_DIR]        default BUILD_DIR: build-bench in the source tree
#   KX_BENCH_QUICK=1 bench/run.sh   fewer runs each, for a quick look
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"
quick="${KX_BENCH_QUICK:-0}"

echo "== build ($build, Release)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=ON -DKESTRIX_BENCH=ON >/dev/null ||
  exit 1
targets=(kestrix-host-fake kx_echo_host kx_bench_roundtrip kx_bench_large_result kx_bench_startup kx_bench_bridge
  kestrix-host kestrix-job kx_bench_printing kx_bench_control_bounds)
cmake --build "$build" -j2 --target "${targets[@]}" || exit 1

if [[ "$quick" == 1 ]]; then
  roundtrip_args=(--runs 1); large_args=(--runs 1); startup_args=(--runs 5); bridge_args=(1)
  printing_args=(--runs 3 --labels 10)
else
  roundtrip_args=(); large_args=(); startup_args=(); bridge_args=()
  printing_args=()
fi

status=0
summary=()
run() {  # name, program, args...
  local name="$1"
  shift
  echo
  echo "== $name"
  local out
  out="$("$@" 2>&1)"
  local rc=$?
  echo "$out"
  if [[ $rc -ne 0 ]]; then
    status=1
    summary+=("$name: FAILED (exit status $rc)")
  fi
  # Each benchmark ends with its ratio lines; the bridge prints one per shape.
  while IFS= read -r line; do
    case "$name" in
      bridge) summary+=("bridge: $(sed 's/  */ /g' <<<"$line")") ;;
      *) summary+=("$line") ;;
    esac
  done < <(grep -E 'ratio' <<<"$out" | grep -Ev '^ ' || true)
}

run roundtrip "$build/bench/roundtrip/kx_bench_roundtrip" "${roundtrip_args[@]}"
run large_result "$build/bench/large_result/kx_bench_large_result" "${large_args[@]}"
run startup "$build/bench/startup/kx_bench_startup" "${startup_args[@]}"
run bridge "$build/bench/bridge/kx_bench_bridge" "${bridge_args[@]}"
run printing "$build/bench/printing/kx_bench_printing" "${printing_args[@]}"
run control_bounds "$build/bench/control_bounds/kx_bench_control_bounds"

echo
echo "== ratios"
printf '%s\n' "${summary[@]}"
exit $status
