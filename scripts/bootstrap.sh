#!/usr/bin/env bash
# Installs what building and testing need, on a fresh machine as on a used
# one: Debian packages for the toolchain and native test libraries, and a
# virtual environment with the Python test tools.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

packages=(g++ cmake ninja-build libgtest-dev libbenchmark-dev clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    SUDO=""
    [[ $(id -u) -ne 0 ]] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON="$(find_python)"
if [[ ! -x "$VENV/bin/python" ]]; then
    "$PYTHON" -m venv "$VENV"
fi
stamp="$VENV/.requirements"
if ! cmp -s "$ROOT/requirements-dev.txt" "$stamp"; then
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q -r "$ROOT/requirements-dev.txt"
    cp "$ROOT/requirements-dev.txt" "$stamp"
fi
