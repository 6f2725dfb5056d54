#!/usr/bin/env bash
# Runs the test suites under the sanitizers; a CI step of its own. Exits
# non-zero on any failing test and on any sanitizer report, including reports
# from child processes that a test may have tolerated.
#
#   asan    gcc, AddressSanitizer + UBSan: every C++ test (build-asan), the
#           embedding test with a sanitized copy of the module
#   module  the Python module built with the same sanitizers (build-asan-module),
#           the whole Python suite run against it with the runtime preloaded
#   tsan    gcc, ThreadSanitizer: the pool, vectorizer and pipeline tests (build-tsan),
#           against oneTBB rebuilt with ThreadSanitizer from the Debian source of
#           the installed version (fetched with apt-get source, built once)
#
#   bash scripts/sanitize.sh              # all three
#   bash scripts/sanitize.sh module tsan  # some of them
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"
STAGES=(asan module tsan)
if (($#)); then STAGES=("$@"); fi
PYTHON="$(command -v python3)"

LOGS="$(mktemp -d)"
trap 'rm -rf "$LOGS"' EXIT

# Reports go to files as well as failing the process, so that a report from a
# process whose exit status nobody checks still fails the step.
# A refused allocation returns null, as it does without the sanitizer, so that
# the out-of-memory paths run as they do in production.
export ASAN_OPTIONS="abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:\
strict_string_checks=1:check_initialization_order=1:allocator_may_return_null=1:log_path=$LOGS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$LOGS/tsan"

# Prints the sanitizer reports written so far; non-zero if there is any. A log
# that holds only a warning (a huge allocation refused, which the code must
# and does survive) is shown but is no report.
check_reports() {
  local found=0 log
  for log in "$LOGS"/*; do
    [[ -e "$log" ]] || continue
    if grep -qE "ERROR: [A-Za-z]+Sanitizer|WARNING: ThreadSanitizer|runtime error:|SUMMARY: " "$log"; then
      echo "!! sanitizer report: $log" >&2
      found=1
    else
      echo "-- sanitizer note: $log" >&2
    fi
    cat "$log" >&2
    rm -f "$log"
  done
  return "$found"
}

configure() {  # build-dir compiler-family cmake-args...
  local dir="$1" family="$2"
  shift 2
  local cc=gcc cxx=g++
  if [[ "$family" == clang ]]; then cc=clang cxx=clang++; fi
  CC="$cc" CXX="$cxx" cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

run_asan() {
  echo "== C++ tests, gcc, AddressSanitizer + UBSan (build-asan)"
  configure build-asan gcc -DVESKO_SANITIZE=ON -DVESKO_BUILD_MODULE=OFF \
    -DVESKO_BUILD_TESTS=ON -DVESKO_BUILD_BENCH=OFF -DPython_EXECUTABLE="$PYTHON" || return 1
  cmake --build "$ROOT/build-asan" -j "$JOBS" || return 1
  ctest --test-dir "$ROOT/build-asan" --output-on-failure -j "$JOBS"
}

run_module() {
  echo "== Python suite against the module built with AddressSanitizer + UBSan (build-asan-module)"
  configure build-asan-module gcc -DVESKO_SANITIZE=ON -DVESKO_BUILD_MODULE=ON \
    -DVESKO_BUILD_TESTS=OFF -DVESKO_BUILD_BENCH=OFF -DPython_EXECUTABLE="$PYTHON" || return 1
  cmake --build "$ROOT/build-asan-module" -j "$JOBS" --target vesko || return 1
  # The interpreter is not instrumented, so the runtime must be loaded before
  # anything else; CPython frees little at exit, hence no leak checking here.
  # The suite checks that memory stays flat over a thousand loads and calls;
  # the default 256 MB quarantine of freed blocks would look like growth, and
  # a small one still catches a use right after a free.
  local preload
  preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
  local module_dir="$ROOT/build-asan-module"
  (
    export LD_PRELOAD="$preload"
    export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0:quarantine_size_mb=2"
    export PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}"
    export PYTHONMALLOC=malloc  # every object through malloc, where ASan sees it
    local imported
    imported="$("$PYTHON" -c 'import vesko; print(vesko.__file__)')"
    if [[ "$imported" != "$module_dir"/* ]]; then
      echo "!! imported $imported, not the sanitized build under $module_dir" >&2
      exit 1
    fi
    echo "imports $imported"
    cd "$ROOT/tests/python"
    "$PYTHON" -m pytest -q -p no:cacheprovider .
  )
}

# Debian's oneTBB is not instrumented, so ThreadSanitizer would not see the
# pool hand work to its threads and would report every task's first touch of
# its data as a race. The same version, rebuilt with ThreadSanitizer, makes
# every hand-over visible: no suppressions are needed, none are used.
build_tsan_onetbb() {  # prints the oneTBB CMake package directory
  local prefix="$ROOT/build-tsan/onetbb"
  if [[ ! -e "$prefix/install/lib/cmake/TBB/TBBConfig.cmake" ]]; then
    local version
    version="$(dpkg-query -W -f='${source:Version}' libtbb-dev)" || return 1
    rm -rf "$prefix" && mkdir -p "$prefix/apt/lists/partial" "$prefix/apt/cache" || return 1
    # A private apt configuration adds the source archive without touching the
    # machine's own.
    local codename
    codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    printf 'deb-src http://deb.debian.org/debian %s main\n' "$codename" "$codename-updates" \
      >"$prefix/apt/sources.list"
    printf 'deb-src http://deb.debian.org/debian-security %s-security main\n' "$codename" \
      >>"$prefix/apt/sources.list"
    local apt=(-o Dir::Etc::SourceList="$prefix/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o Dir::State::Lists="$prefix/apt/lists" -o Dir::Cache="$prefix/apt/cache")
    apt-get "${apt[@]}" -qq update >&2 || return 1
    (cd "$prefix" && apt-get "${apt[@]}" -qq source --download-only "onetbb=$version" >&2 &&
      dpkg-source -x ./*.dsc src >&2) || return 1
    CC=gcc CXX=g++ cmake -S "$prefix/src" -B "$prefix/build" -G Ninja \
      -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTBB_TEST=OFF \
      -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF -DTBB_SANITIZE=thread \
      -DCMAKE_INSTALL_PREFIX="$prefix/install" >&2 || return 1
    cmake --build "$prefix/build" -j "$JOBS" --target install >&2 || return 1
  fi
  echo "$prefix/install/lib/cmake/TBB"
}

run_tsan() {
  echo "== pool, vectorizer and pipeline tests, gcc, ThreadSanitizer (build-tsan)"
  local tbb_dir
  tbb_dir="$(build_tsan_onetbb)" || { echo "!! could not build oneTBB with ThreadSanitizer" >&2; return 1; }
  configure build-tsan gcc -DVESKO_SANITIZE_THREAD=ON -DVESKO_BUILD_MODULE=OFF \
    -DVESKO_BUILD_TESTS=ON -DVESKO_BUILD_BENCH=OFF -DTBB_DIR="$tbb_dir" || return 1
  local targets=()
  local test
  for test in "$ROOT"/tests/cpp/common/thread_pool_test.cc "$ROOT"/tests/cpp/ensemble/*_test.cc \
      "$ROOT"/tests/cpp/tfidf/*_test.cc; do
    targets+=("$(basename "$test" .cc)")
  done
  cmake --build "$ROOT/build-tsan" -j "$JOBS" --target "${targets[@]}" || return 1
  # More pool threads than processors, so that every batch is really split.
  local failed=0
  for test in "${targets[@]}"; do
    echo "-- $test"
    # grep reads all of ldd's output: with -q it could stop early and ldd's
    # SIGPIPE would fail the pipeline.
    if ! ldd "$ROOT/build-tsan/$test" | grep "$ROOT/build-tsan/onetbb/install/lib/libtbb" >/dev/null; then
      echo "!! $test does not use the instrumented oneTBB" >&2
      failed=1
      continue
    fi
    RAYON_NUM_THREADS=16 "$ROOT/build-tsan/$test" --gtest_brief=1 || failed=1
  done
  return "$failed"
}

status=0
for stage in "${STAGES[@]}"; do
  case "$stage" in
    asan) run_asan || status=1 ;;
    module) run_module || status=1 ;;
    tsan) run_tsan || status=1 ;;
    *) echo "unknown stage: $stage (asan, module, tsan)" >&2; exit 2 ;;
  esac
  check_reports || status=1
done
if ((status == 0)); then echo "== no sanitizer reports"; fi
exit "$status"
