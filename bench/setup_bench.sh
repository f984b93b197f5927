#!/usr/bin/env bash
# Creates .venv-bench with the peer's packages (bench/requirements.txt);
# reinstalls only when that file changes.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv-bench"
REQ="$ROOT/bench/requirements.txt"
if [ ! -x "$VENV/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$VENV"
fi
sum="$(sha256sum "$REQ" | cut -d' ' -f1)"
if [ "$(cat "$VENV/.requirements.sha" 2>/dev/null)" != "$sum" ]; then
    echo "[bench] installing the peer's packages into .venv-bench"
    "$VENV/bin/python" -m pip install -q -r "$REQ"
    echo "$sum" >"$VENV/.requirements.sha"
fi
