#!/bin/bash
# The whole test run: installs the dependencies, then builds and tests every
# preset. Needs root (apt-get, and the namespaces of the sandboxed tests).
# When CI is set, a skipped test fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

status=0
run_preset() {
  local preset=$1
  echo "=== preset $preset: build"
  bash scripts/build.sh "$preset"
  echo "=== preset $preset: test"
  local log="build/$preset/ctest.log"
  if ! ctest --preset "$preset" 2>&1 | tee "$log"; then
    status=1
  fi
  if [ -n "${CI:-}" ] && grep -qE '\*\*\*Skipped|Not Run' "$log"; then
    echo "FAIL: tests were skipped under preset $preset; CI runs them all" >&2
    status=1
  fi
}

for preset in default asan tsan; do
  run_preset "$preset"
done

echo "=== clang-tidy"
bash scripts/build.sh tidy || status=1

echo "=== fuzzing (bounded)"
bash scripts/build.sh fuzz || status=1
[ $status -ne 0 ] || ctest --preset fuzz || status=1

echo "=== clang-format"
bash scripts/check-format.sh || status=1

exit $status
