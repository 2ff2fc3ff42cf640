#!/usr/bin/env bash
# Runs the Python suite against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan, made by `build.sh asan`), with the
# sanitizer runtime preloaded into the interpreter.
#   test-asan-python.sh               build build/asan, run tests/python
#   test-asan-python.sh -k views      arguments go to pytest
#   test-asan-python.sh tests/python/test_views.py   ... test files too
# QUORL_ASAN_DIR=<build dir> runs against a sanitizer build made elsewhere,
# without building.
#
# The interpreter is not built with the sanitizers, so the runtime must be
# loaded first (LD_PRELOAD), and libstdc++ with it: ASan hooks the C++
# exception machinery when it starts, before the module would bring in
# libstdc++. PYTHONMALLOC=malloc gives every Python object its own heap
# block, so that ASan sees misuse of objects and LeakSanitizer sees the ones
# that are never freed. Leaks are reported with full stacks (the interpreter
# has no frame pointers) and checked against scripts/lsan-interpreter.supp,
# which names interpreter frames only. Tests marked slow measure the
# process's memory, which the sanitizers distort: they are left out. So is
# pandas (QUORL_LEAVE_OUT_PANDAS=1, see tests/python/conftest.py), whose
# compiled modules hold objects until the process ends.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/bootstrap.sh"

dir="${QUORL_ASAN_DIR:-}"
if [[ -z "$dir" ]]; then
    dir="$ROOT/build/asan"
    "$ROOT/scripts/build.sh" asan
fi
module_dir="$(cd "$dir" && pwd)/python"
[[ -d "$module_dir" ]] || { echo "no module in $module_dir" >&2; exit 2; }

runtime="$(g++ -print-file-name=libasan.so)"
cxx="$(g++ -print-file-name=libstdc++.so)"
[[ -f "$runtime" && -f "$cxx" ]] || { echo "libasan.so or libstdc++.so not found" >&2; exit 2; }

# The whole suite, unless test files or folders are named.
paths=(tests/python)
for arg in "$@"; do
    [[ "$arg" == tests/* ]] && paths=()
done

cd "$ROOT"
LD_PRELOAD="$runtime $cxx" \
PYTHONMALLOC=malloc \
QUORL_LEAVE_OUT_PANDAS=1 \
ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16:check_initialization_order=1:strict_string_checks=1" \
LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan-interpreter.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONPATH="$module_dir" \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" ${paths[@]+"${paths[@]}"} "$@"
