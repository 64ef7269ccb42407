#!/usr/bin/env bash
# Builds and runs the whole test suite under each preset, every CTest run in
# a private network namespace so that no status datagram leaves the machine.
# KVX_PRESETS chooses the presets (default: "release asan tsan clang";
# clang builds with its thread-safety analysis as errors). A short
# fuzzing run follows (scripts/fuzz.sh; KVX_FUZZ_SECONDS per target, 0 skips).
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh || exit 1

read -r -a presets <<<"${KVX_PRESETS:-release asan tsan clang}"
if ((${#presets[@]} == 0)); then
  echo "test.sh: KVX_PRESETS names no preset." >&2
  exit 1
fi
passed=()
failed=()
started=$SECONDS

for p in "${presets[@]}"; do
  echo "=== $p: configure and build"
  if ! cmake --preset "$p" || ! cmake --build --preset "$p" -j2; then
    echo "=== $p: BUILD FAILED"
    failed+=("$p (build)")
    continue
  fi
  echo "=== $p: tests"
  if unshare -rn sh -c "ip link set lo up && ip route add default dev lo && ctest --preset $p"; then
    passed+=("$p")
  else
    failed+=("$p")
  fi
done

if [[ ${KVX_FUZZ_SECONDS:-25} != 0 ]]; then
  if bash scripts/fuzz.sh; then
    passed+=("fuzz")
  else
    failed+=("fuzz")
  fi
fi

# "a", "a and b", "a, b and c"
join() {
  local out=$1
  shift
  while (($# > 1)); do
    out+=", $1"
    shift
  done
  if (($#)); then out+=" and $1"; fi
  echo "$out"
}

echo "=== took $((SECONDS - started)) s"
if ((${#failed[@]})); then
  echo "Tests FAILED under $(join "${failed[@]}")${passed:+; passed under $(join "${passed[@]}")}."
  exit 1
fi
echo "All tests passed under $(join "${passed[@]}")."
