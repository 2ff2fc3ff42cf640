# Sourced by the other scripts: locations and the interpreter to build for.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${QUORL_VENV:-$ROOT/.venv}"
JOBS="${QUORL_JOBS:-$(nproc)}"

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
