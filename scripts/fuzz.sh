#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang++ with ASan + UBSan) into
# build/fuzz and runs each for a bounded time; any finding (crash, sanitizer
# report, failed check, leak, timeout) fails the script.
#   fuzz.sh            60 seconds per target
#   fuzz.sh 600        ten minutes per target
#   fuzz.sh 60 operations decode_node_update   only the targets named
# Corpora grow in fuzz/corpus-<target>/ (not committed), seeded from the test
# vectors by make_seeds and from fuzz/seeds/<target>/. Findings are written
# to build/fuzz/findings/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/bootstrap.sh"

seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(decode_graph_diff decode_node_update operations)

command -v clang++ >/dev/null || { echo "fuzz.sh needs clang++ (scripts/bootstrap.sh installs it)" >&2; exit 2; }
dir="$ROOT/build/fuzz"
cmake -G Ninja -S "$ROOT/fuzz" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j "$JOBS"
"$dir/make_seeds" "$ROOT/fuzz"
mkdir -p "$dir/findings"

status=0
summary=()
for target in "${targets[@]}"; do
    [[ -x "$dir/fuzz_$target" ]] || { echo "no fuzz target $target" >&2; exit 2; }
    corpus="$ROOT/fuzz/corpus-$target"
    seeds="$ROOT/fuzz/seeds/$target"
    log="$dir/fuzz_$target.log"
    options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560
             -print_final_stats=1 -artifact_prefix="$dir/findings/$target-")
    [[ -f "$ROOT/fuzz/$target.dict" ]] && options+=(-dict="$ROOT/fuzz/$target.dict")
    dirs=("$corpus")
    [[ -d "$seeds" ]] && dirs+=("$seeds")
    echo "== fuzz_$target for ${seconds}s"
    if "$dir/fuzz_$target" "${options[@]}" "${dirs[@]}" >"$log" 2>&1; then
        result="ok"
    else
        result="FAILED (see $log and $dir/findings/)"
        status=1
        grep -E "ERROR|fuzz check failed|SUMMARY|Test unit written" "$log" | head -n 20 >&2 || true
    fi
    runs="$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo '?')"
    cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+' || echo '?')"
    summary+=("$target: $result, $runs executions, cov $cov, corpus $(ls "$corpus" | wc -l) inputs")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$status"
