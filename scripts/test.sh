#!/usr/bin/env bash
# Builds everything and runs every test. What CI runs.
#   1. native suites and the Python suite (3.8, Dask and joblib, pyarrow,
#      polars and duckdb included)
#      against the optimised build, and quick runs of the benchmark scripts
#   2. both suites again under AddressSanitizer + UBSan
#   3. the fault-injection sweep over every object-creating interpreter call
#   4. each fuzz target for a bounded time (QUORL_FUZZ_SECONDS, default 60)
#   5. the portable wheels (CPython 3.8 to 3.15, x86_64 and aarch64) and the
#      source archive, each installed alone and tested where it runs
#      (scripts/wheels.sh)
# Step 5's tools, Debian roots and test wheels are made in the background
# from the start (the first run on a machine makes the roots; later runs find
# them in the cache).
#   test.sh --quick    step 1 alone, without the benchmark scripts: the native
#                      and Python suites, for a quick local check
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
quick=0
[[ "${1:-}" == --quick ]] && quick=1
"$ROOT/scripts/bootstrap.sh"
started=$SECONDS
step() { printf '\n== %s (%ds)\n' "$*" $((SECONDS - started)); }

if ((!quick)); then
    mkdir -p "$ROOT/build"
    prepare_log="$ROOT/build/wheels-prepare.log"
    set -m    # a process group of its own, stopped whole if this run stops
    "$ROOT/scripts/wheels.sh" --prepare >"$prepare_log" 2>&1 &
    prepare=$!
    set +m
    on_exit "kill -0 $prepare 2>/dev/null && kill -- -$prepare"
fi

step "release build"
"$ROOT/scripts/build.sh" release
step "native tests"
ctest --test-dir "$ROOT/build/release" --output-on-failure -j "$JOBS"
step "python tests (3.8)"
# bootstrap.sh installed Dask and joblib, pyarrow, polars and duckdb: their
# tests may not skip here.
QUORL_REQUIRE_ENGINES=1 QUORL_REQUIRE_ARROW=1 PYTHONPATH="$ROOT/build/release/python" "$VENV/bin/python" -m pytest -q -p no:cacheprovider \
    "$ROOT/tests/python"

if ((quick)); then
    step "quick run passed (the whole run: ./scripts/test.sh)"
    exit 0
fi

step "benchmark script, quick run (checks the pure-Python implementation against the module; judges no time)"
PYTHONPATH="$ROOT/build/release/python" "$VENV/bin/python" "$ROOT/benchmarks/bench.py" --quick \
    > "$ROOT/build/release/bench-quick.txt"
tail -n 1 "$ROOT/build/release/bench-quick.txt"
step "engine benchmark, quick run (checks what Dask workers send back; judges no time)"
PYTHONPATH="$ROOT/build/release/python" "$VENV/bin/python" "$ROOT/benchmarks/engines.py" --quick \
    > "$ROOT/build/release/engines-quick.txt"
tail -n 1 "$ROOT/build/release/engines-quick.txt"

step "sanitizer build"
"$ROOT/scripts/build.sh" asan
step "native tests under ASan+UBSan"
ctest --test-dir "$ROOT/build/asan" --output-on-failure -j "$JOBS"
step "python tests under ASan+UBSan"
QUORL_ASAN_DIR="$ROOT/build/asan" "$ROOT/scripts/test-asan-python.sh"

step "fault injection sweep"
"$ROOT/scripts/test-faults.sh"

step "fuzzing"
"$ROOT/scripts/fuzz.sh" "${QUORL_FUZZ_SECONDS:-60}"

step "wheels: tools, Debian roots and test wheels (made in the background since the start)"
if ! wait "$prepare"; then
    cat "$prepare_log" >&2
    echo "preparing the wheel tests failed (log: $prepare_log)" >&2
    exit 1
fi
tail -n 1 "$prepare_log"
step "wheels: x86_64 and aarch64, CPython 3.8 to 3.15, and the source archive, each installed alone and tested"
"$ROOT/scripts/wheels.sh"
step "all tests passed"
