#!/bin/bash
# The whole test run: installs the dependencies, then builds and tests every
# preset, and runs the lab (scripts/lab.sh), the Debian package's checks and
# lab run, and the fault matrix on the default build. Needs root (apt-get,
# and the namespaces of the sandboxed tests).
# When CI is set, a skipped test fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

status=0
# Runs the tests of one built preset. CTest marks a test that exited 77, or
# a discovered GoogleTest case that printed "[  SKIPPED ]", as Skipped and a
# disabled case as Not Run; a GoogleTest program run whole as one test says
# so only in its output, which the JUnit report keeps even when it passed
# (whole: CTest cuts a passed test's output at 1 KiB by default).
run_tests() {
  local preset=$1
  echo "=== preset $preset: test"
  local log="build/$preset/ctest.log" junit="build/$preset/ctest-junit.xml"
  rm -f "$junit"
  if ! ctest --preset "$preset" --output-junit ctest-junit.xml \
    --test-output-size-passed 1048576 2>&1 | tee "$log"; then
    status=1
    python3 scripts/failed-tails.py "$junit" || true
  fi
  if [ -n "${CI:-}" ] && {
    grep -qE '\*\*\*Skipped|Not Run' "$log" ||
      grep -qE '\[  SKIPPED \]|YOU HAVE [0-9]+ DISABLED TEST' "$junit" 2>/dev/null
  }; then
    echo "FAIL: tests were skipped or disabled under preset $preset; CI runs them all" >&2
    status=1
  fi
}

for preset in default asan tsan; do
  echo "=== preset $preset: build"
  bash scripts/build.sh "$preset"
  run_tests "$preset"
  if [ "$preset" = default ]; then
    # The installed product used as a user uses it, then every fault case,
    # on every home, the hostile one included (the benchmark, --bench, is
    # not a test and stays out of CI).
    echo "=== the lab: main path"
    bash scripts/lab.sh --no-deps --no-build || status=1
    # The Debian package: lintian, the validators, its list of entries, then
    # install, upgrade while connected, removal and purge in an overlay root
    # (1 to 1.7 min).
    echo "=== the Debian package and its lab run"
    bash scripts/lab.sh --no-deps --no-build --package || status=1
    # Most of a fault case is waiting on the network. clang-tidy runs
    # alongside on the CPU time the cases leave idle (SCHED_IDLE: it runs
    # only when no case wants the core), its output kept for later. A
    # build that fails ends this script early: it waits for clang-tidy
    # first, so that nothing of the run is left working in the tree.
    echo "=== the lab: fault matrix (clang-tidy alongside, on idle CPU only)"
    chrt --idle 0 bash scripts/build.sh tidy >build/tidy-run.log 2>&1 &
    tidy_pid=$!
    trap 'wait' EXIT
    bash scripts/lab.sh --no-deps --no-build --faults || status=1
  fi
done

echo "=== clang-tidy"
tidy_status=0
wait "$tidy_pid" || tidy_status=$?
cat build/tidy-run.log
[ "$tidy_status" -eq 0 ] || status=1

echo "=== fuzzing (bounded)"
if bash scripts/build.sh fuzz; then
  run_tests fuzz
else
  status=1
fi

echo "=== clang-format"
bash scripts/check-format.sh || status=1

exit $status
