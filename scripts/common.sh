# Sourced by the other scripts: locations and the interpreter to build for.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${QUORL_VENV:-$ROOT/.venv}"
JOBS="${QUORL_JOBS:-$(nproc)}"
# Toolchains, Debian roots, downloaded packages and wheels for the tests live
# in the user's cache, outside the checkout, so that a fresh clone on the same
# machine reuses them.
CACHE="${QUORL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorl_api}"

# Cleanup actions, run in reverse order of registration when the (sub)shell
# that registered them exits, whether it ends normally, by an error or by a
# signal. A subshell starts a list of its own: it inherits neither the
# traps nor the duty to run its parent's actions.
QUORL_CLEANUP=()
QUORL_CLEANUP_PID=""
run_cleanup() {
    local i
    for ((i = ${#QUORL_CLEANUP[@]} - 1; i >= 0; i--)); do
        eval "${QUORL_CLEANUP[i]}" || true
    done
    QUORL_CLEANUP=()
}
on_exit() {
    if [[ "$QUORL_CLEANUP_PID" != "$BASHPID" ]]; then
        QUORL_CLEANUP=()
        QUORL_CLEANUP_PID="$BASHPID"
        trap run_cleanup EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
    fi
    QUORL_CLEANUP+=("$1")
}

# The interpreter: $QUORL_PYTHON, then pyenv's 3.8.18, then python3.8 on PATH.
find_python() {
    if [[ -n "${QUORL_PYTHON:-}" ]]; then
        echo "$QUORL_PYTHON"
    elif command -v pyenv >/dev/null 2>&1 && prefix="$(pyenv prefix 3.8.18 2>/dev/null)" && [[ -x "$prefix/bin/python3.8" ]]; then
        echo "$prefix/bin/python3.8"
    elif command -v python3.8 >/dev/null 2>&1; then
        command -v python3.8
    else
        echo "no Python 3.8 found: set QUORL_PYTHON" >&2
        return 1
    fi
}

# The newest pyenv version of a minor series (e.g. 3.13), or nothing.
newest() {
    pyenv versions --bare 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true
}
