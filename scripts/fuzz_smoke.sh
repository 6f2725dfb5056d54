#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, ASan, UBSan) and runs
# each for FUZZ_SECONDS (default 30) from its seed corpus. Exits non-zero on
# the first crash, leak, timeout or out-of-memory. Works from a clean clone;
# new corpus entries go to a scratch directory, never into fuzz/corpus.
#
#   scripts/fuzz_smoke.sh                 # all fuzzers, 30 s each
#   FUZZ_SECONDS=600 scripts/fuzz_smoke.sh xgboost_fuzzer
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
SECONDS_EACH="${FUZZ_SECONDS:-30}"
FINDINGS="$ROOT/fuzz/findings"
# Every fuzz/<name>_fuzzer.cc, unless fuzzers are named on the command line.
FUZZERS=()
for source in "$ROOT"/fuzz/*_fuzzer.cc; do FUZZERS+=("$(basename "$source" .cc)"); done
if (($#)); then FUZZERS=("$@"); fi

GENERATOR=()
command -v ninja >/dev/null && GENERATOR=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKO_BUILD_FUZZ=ON -DVESKO_BUILD_MODULE=OFF \
  -DVESKO_BUILD_TESTS=OFF -DVESKO_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target "${FUZZERS[@]}" -j "$(nproc)"

mkdir -p "$FINDINGS"
SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH"' EXIT

status=0
for fuzzer in "${FUZZERS[@]}"; do
  name="${fuzzer%_fuzzer}"
  work="$SCRATCH/$name"
  mkdir -p "$work"
  echo "== $fuzzer: ${SECONDS_EACH}s"
  seeds=()
  [[ -d "$ROOT/fuzz/corpus/$name" ]] && seeds=("$ROOT/fuzz/corpus/$name")
  if ! "$BUILD/$fuzzer" "$work" "${seeds[@]}" \
      -max_total_time="$SECONDS_EACH" -max_len=65536 -rss_limit_mb=2048 -timeout=25 \
      -print_final_stats=1 -artifact_prefix="$FINDINGS/$name-" 2>"$SCRATCH/$name.log"; then
    echo "!! $fuzzer failed; artifacts under $FINDINGS" >&2
    tail -n 40 "$SCRATCH/$name.log" >&2
    status=1
    continue
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$SCRATCH/$name.log" || true
done
exit "$status"
