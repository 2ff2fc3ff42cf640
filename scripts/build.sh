#!/usr/bin/env bash
# Configures and builds one flavour into build/<name>.
#   build.sh release            optimised module and native tests
#   build.sh asan               the same under AddressSanitizer + UBSan
#   build.sh faults             module only, with the fault injection hook (tests only)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
flavour="${1:-release}"
shift || true
dir="$ROOT/build/$flavour"
args=(-G Ninja -S "$ROOT" -B "$dir" -DQUORL_PYTHON="$(find_python)")
case "$flavour" in
    release) args+=(-DCMAKE_BUILD_TYPE=Release) ;;
    asan) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORL_SANITIZE=ON) ;;
    faults) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORL_FAULT_INJECTION=ON -DQUORL_BUILD_TESTS=OFF) ;;
    *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake "${args[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$JOBS"
