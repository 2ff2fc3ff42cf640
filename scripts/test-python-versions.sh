#!/usr/bin/env bash
# Installs the project with pip (the way users get it) into one virtual
# environment per CPython, .venv-<version>, and runs the Python suite
# against the installed module.
#   test-python-versions.sh                  3.8.18 and the newest 3.13.x
#   test-python-versions.sh 3.10.13 3.12.1   the versions named
#   test-python-versions.sh all              every 3.8 to 3.13 that pyenv holds
#   test-python-versions.sh 3.13.0 -- -k stub   arguments after -- go to pytest
# The interpreters come from pyenv. Builds use $QUORL_JOBS jobs (default: all
# cores), or CMAKE_BUILD_PARALLEL_LEVEL when it is set.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

versions=()
pytest_args=()
while (($#)); do
    case "$1" in
        --) shift; pytest_args=("$@"); break ;;
        all) for minor in 3.8 3.9 3.10 3.11 3.12 3.13; do
                 v="$(newest "$minor")"
                 [[ -n "$v" ]] && versions+=("$v")
             done ;;
        *) versions+=("$1") ;;
    esac
    shift
done
if ((${#versions[@]} == 0)); then
    latest="$(newest 3.13)"
    [[ -n "$latest" ]] || { echo "pyenv holds no CPython 3.13" >&2; exit 2; }
    versions=(3.8.18 "$latest")
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$JOBS}"
results=()
status=0
for ver in "${versions[@]}"; do
    echo "== CPython $ver"
    if ! prefix="$(pyenv prefix "$ver" 2>/dev/null)" || [[ ! -x "$prefix/bin/python3" ]]; then
        echo "pyenv has no CPython $ver" >&2
        results+=("$ver: not installed")
        status=1
        continue
    fi
    venv="$ROOT/.venv-$ver"
    [[ -x "$venv/bin/python" ]] || "$prefix/bin/python3" -m venv "$venv"
    py="$venv/bin/python"
    log="$venv/pip-install.log"
    # Test tools first, then the project itself, rebuilt from the work tree.
    if ! "$py" -m pip install -r "$ROOT/requirements-dev.txt" mypy >"$log" 2>&1 ||
       ! "$py" -m pip install --force-reinstall --no-deps "$ROOT" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        results+=("$ver: pip install failed (see $log)")
        status=1
        continue
    fi
    # The suite must see the installed module, never a build tree.
    module="$(cd "$ROOT" && env -u PYTHONPATH "$py" -c 'import quorl_api; print(quorl_api.__file__)')"
    if [[ "$module" != "$venv"/* ]]; then
        echo "quorl_api was imported from $module, not from $venv" >&2
        results+=("$ver: wrong module")
        status=1
        continue
    fi
    echo "module: $module"
    if (cd "$ROOT" && env -u PYTHONPATH "$py" -m pytest -q -p no:cacheprovider tests/python ${pytest_args[@]+"${pytest_args[@]}"}); then
        results+=("$ver: passed")
    else
        results+=("$ver: FAILED")
        status=1
    fi
done

echo "== summary"
printf '%s\n' "${results[@]}"
exit "$status"
