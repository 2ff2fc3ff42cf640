#!/usr/bin/env bash
# Builds the module and runs the example: a diff built, read back, turned
# into bytes and decoded again in a second process.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/bootstrap.sh"
"$ROOT/scripts/build.sh" release
PYTHONPATH="$ROOT/build/release/python" "$VENV/bin/python" "$ROOT/examples/roundtrip.py"
