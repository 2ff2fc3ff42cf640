#!/usr/bin/env bash
# Builds everything and runs every test: the native suites (optimised and
# under sanitizers) and the Python suite against the built module.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/bootstrap.sh"

echo "== release build"
"$ROOT/scripts/build.sh" release
echo "== native tests"
ctest --test-dir "$ROOT/build/release" --output-on-failure -j "$JOBS"
if [[ -d "$ROOT/build/release/python" ]]; then
    echo "== python tests"
    PYTHONPATH="$ROOT/build/release/python" "$VENV/bin/python" -m pytest -q "$ROOT/tests/python"
fi

echo "== sanitizer build"
"$ROOT/scripts/build.sh" asan
echo "== native tests under ASan+UBSan"
ctest --test-dir "$ROOT/build/asan" --output-on-failure -j "$JOBS"
