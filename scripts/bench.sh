#!/usr/bin/env bash
# Builds the optimised module and the native microbenchmarks, runs the
# microbenchmarks, then benchmarks the module from Python against the floor
# (a do-nothing extension), a pure-Python implementation, marshal and pickle.
#   bench.sh            the full run (a few minutes)
#   bench.sh --quick    a fast smoke run
# Further arguments go to benchmarks/bench.py.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/bootstrap.sh"
"$ROOT/scripts/build.sh" release

dir="$ROOT/build/bench"
cmake -G Ninja -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQUORL_BUILD_BENCHMARKS=ON \
    -DQUORL_PYTHON="$(find_python)" >/dev/null
cmake --build "$dir" -j "$JOBS" --target core_benchmarks

echo "== core microbenchmarks"
min_time=0.5
for arg in "$@"; do [[ "$arg" == --quick ]] && min_time=0.05; done
"$dir/benchmarks/core/core_benchmarks" --benchmark_min_time="$min_time"

echo
echo "== Python benchmark"
PYTHONPATH="$ROOT/build/release/python" "$VENV/bin/python" "$ROOT/benchmarks/bench.py" "$@"
