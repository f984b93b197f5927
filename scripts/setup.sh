#!/usr/bin/env bash
# One idempotent set-up for a fresh Debian 12 machine: system packages, the
# earcut header, the project virtual environment and the built module.
# Safe to run again; with nothing changed it only checks and returns.
#
#   bash scripts/setup.sh                 everything (make test and make demo run this)
#   bash scripts/setup.sh --earcut-only   only cache earcut.hpp in .cache/earcut/stable/include,
#                                         where CMake looks for it (for a plain `pip install .`)
set -euo pipefail

EARCUT_ONLY=0
if [ "${1:-}" = "--earcut-only" ]; then
    EARCUT_ONLY=1
elif [ -n "${1:-}" ]; then
    echo "usage: bash scripts/setup.sh [--earcut-only]" >&2
    exit 2
fi

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="$ROOT/.cache"
VENV="$ROOT/.venv"
PYTHON="${PYTHON:-python3}"

log() { printf '[setup] %s\n' "$*"; }

if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
elif command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
else
    SUDO=()
fi

APT_PACKAGES=(
    build-essential cmake pkg-config
    libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
    libtriangle-dev libgtest-dev dpkg-dev libdeflate-dev libpng-dev
    libpolyclipping-dev
    # Headless Blender: the 3D exports are checked by importing them into it.
    # Its glTF importer needs numpy in the system Python Blender runs on, and
    # installing without recommends leaves it out.
    blender python3-numpy
    # Headless Chromium and its WebDriver: the tests open the batch overview
    # page in it through Selenium (no driver or browser download at run time).
    chromium chromium-driver fonts-dejavu-core
)

if [ "$EARCUT_ONLY" = 1 ]; then
    APT_PACKAGES=(dpkg-dev)  # dpkg-source unpacks the source package
fi

# --- apt sources -----------------------------------------------------------
# Triangle lives in bookworm's non-free component; earcut.hpp ships only in
# the source package python-mapbox-earcut, so a deb-src entry is needed too.
SRC_LIST=/etc/apt/sources.list.d/vellumcut.sources
want_sources() {
    cat <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
}

missing_pkgs() {
    local p out=()
    for p in "${APT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || out+=("$p")
    done
    echo "${out[@]:-}"
}

need_update=0
if [ ! -f "$SRC_LIST" ] || ! diff -q <(want_sources) "$SRC_LIST" >/dev/null 2>&1; then
    log "adding apt sources ($SRC_LIST)"
    want_sources | "${SUDO[@]}" tee "$SRC_LIST" >/dev/null
    need_update=1
fi

missing="$(missing_pkgs)"
earcut_hdr="$(ls "$CACHE"/earcut/*/include/mapbox/earcut.hpp 2>/dev/null | head -n1 || true)"
if [ -n "$missing" ] || [ -z "$earcut_hdr" ]; then
    if [ "$need_update" = 1 ] || [ ! -f "$CACHE/.apt-updated" ]; then
        log "apt-get update"
        "${SUDO[@]}" apt-get update -qq
        mkdir -p "$CACHE" && touch "$CACHE/.apt-updated"
    fi
fi
if [ -n "$missing" ]; then
    log "installing: $missing"
    # shellcheck disable=SC2086
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi

# --- earcut.hpp --------------------------------------------------------------
if [ -z "$earcut_hdr" ]; then
    log "fetching earcut.hpp from Debian's python-mapbox-earcut source package"
    mkdir -p "$CACHE/earcut"
    (
        cd "$CACHE/earcut"
        apt-get source --download-only python-mapbox-earcut >/dev/null
        dsc="$(ls ./*.dsc | head -n1)"
        dpkg-source --no-check -x "$dsc" src >/dev/null
        rm -rf ./*.tar.* ./*.dsc
    )
    earcut_hdr="$(find "$CACHE/earcut" -path '*include/mapbox/earcut.hpp' | head -n1)"
    [ -n "$earcut_hdr" ] || { echo "earcut.hpp not found in the source package" >&2; exit 1; }
    # Keep a stable path: .cache/earcut/include/mapbox/earcut.hpp
    mkdir -p "$CACHE/earcut/stable/include/mapbox"
    cp "$earcut_hdr" "$CACHE/earcut/stable/include/mapbox/earcut.hpp"
fi
EARCUT_INCLUDE_DIR="$CACHE/earcut/stable/include"
if [ "$EARCUT_ONLY" = 1 ]; then
    log "earcut.hpp cached in $EARCUT_INCLUDE_DIR"
    exit 0
fi

# --- virtual environment ------------------------------------------------------
if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV"
    "$PYTHON" -m venv "$VENV"
fi
REQ="$ROOT/requirements-dev.txt"
STAMP="$VENV/.requirements.sha"
req_sum="$(sha256sum "$REQ" | cut -d' ' -f1)"
if [ "$(cat "$STAMP" 2>/dev/null)" != "$req_sum" ]; then
    log "installing Python dependencies"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q -r "$REQ"
    echo "$req_sum" >"$STAMP"
fi

# --- the module ------------------------------------------------------------------
# Rebuilt when any build input changed since the last install.
BUILD_STAMP="$VENV/.module.sha"
build_inputs=(CMakeLists.txt pyproject.toml src)
[ -d "$ROOT/python" ] && build_inputs+=(python)
src_sum="$(cd "$ROOT" && find "${build_inputs[@]}" -type f -not -name '*.pyc' \
           | LC_ALL=C sort | xargs sha256sum | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$BUILD_STAMP" 2>/dev/null)" != "$src_sum" ] \
   || ! "$VENV/bin/python" -c 'import vellumcut_core' >/dev/null 2>&1; then
    log "building and installing vellumcut_core"
    # Warnings are errors in CI ($CI=true), as for the C++ tests.
    werror=OFF; [ "${CI:-}" = true ] && werror=ON
    "$VENV/bin/python" -m pip install -q --no-build-isolation \
        -Ccmake.define.EARCUT_INCLUDE_DIR="$EARCUT_INCLUDE_DIR" \
        -Ccmake.define.VELLUMCUT_WERROR="$werror" "$ROOT"
    echo "$src_sum" >"$BUILD_STAMP"
fi
# --- real sprites for tests and benchmarks (ignored cache, fetched once) ------
"$VENV/bin/python" "$ROOT/scripts/real_sprites.py" >/dev/null
log "ready: $VENV"
