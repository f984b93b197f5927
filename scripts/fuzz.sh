#!/usr/bin/env bash
# Builds the two libFuzzer targets under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them one after the other (one core).
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 300; `make fuzz`)
#   FUZZ_TARGETS=mesh bash scripts/fuzz.sh 600     (one target only)
#
# Needs clang and its runtime libraries, which only this script installs
# (clang-14, libclang-rt-14-dev); `make test` does not need them. Findings go
# to build/fuzz/artifacts/; copy each into tests/fuzz_regressions/{image,mesh}/
# so that the ordinary test suites replay it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_PER_TARGET="${1:-${FUZZ_SECONDS:-300}}"
OUT="$ROOT/build/fuzz"
CXX="${FUZZ_CXX:-clang++-14}"

if ! command -v "$CXX" >/dev/null 2>&1 \
   || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    echo "[fuzz] installing clang-14 and libclang-rt-14-dev"
    SUDO=(); [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && SUDO=(sudo)
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        clang-14 libclang-rt-14-dev
fi
bash "$ROOT/scripts/setup.sh" >/dev/null   # the venv (seed generator) and earcut.hpp

SAN=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
FLAGS=(-std=c++17 -O1 -g -ffp-contract=off "${SAN[@]}" -DVELLUMCUT_HAVE_LIBDEFLATE
       -I"$ROOT/src" -I"$ROOT/fuzz" -I/usr/include/opencv4
       -isystem "$ROOT/.cache/earcut/stable/include")
LIBS=(-lopencv_imgcodecs -lopencv_imgproc -lopencv_core -ltriangle -ldeflate)
CORE=("$ROOT"/src/outline.cpp "$ROOT"/src/image_header.cpp "$ROOT"/src/png_alpha.cpp
      "$ROOT"/src/earcut_mesh.cpp "$ROOT"/src/forked_child.cpp
      "$ROOT"/src/constrained_mesh/*.cpp)

mkdir -p "$OUT/obj" "$OUT/artifacts"
objs=()
for src in "${CORE[@]}"; do
    obj="$OUT/obj/$(basename "${src%.cpp}").o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then
        echo "[fuzz] compiling $(basename "$src")"
        "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
    fi
    objs+=("$obj")
done
for target in image mesh; do
    echo "[fuzz] linking fuzz_$target"
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer "$ROOT/fuzz/fuzz_$target.cpp" "${objs[@]}" "${LIBS[@]}" \
        -o "$OUT/fuzz_$target"
done

"$ROOT/.venv/bin/python" "$ROOT/fuzz/make_seeds.py" "$OUT/seeds" 2>/dev/null

for target in ${FUZZ_TARGETS:-image mesh}; do
    corpus="$OUT/corpus-$target"
    mkdir -p "$corpus"
    echo "[fuzz] running fuzz_$target for ${SECONDS_PER_TARGET}s"
    # Known findings first: they must no longer fail.
    "$OUT/fuzz_$target" -runs=0 -artifact_prefix="$OUT/artifacts/replay-$target-" \
        "$ROOT/tests/fuzz_regressions/$target" >/dev/null 2>&1 \
        || { echo "[fuzz] a kept regression input fails again"; exit 1; }
    "$OUT/fuzz_$target" "$corpus" "$OUT/seeds/$target" \
        -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 -timeout=20 -max_len=65536 \
        -artifact_prefix="$OUT/artifacts/$target-" -print_final_stats=1 \
        2>&1 | tee "$OUT/fuzz_$target.log" | grep -E "^#[0-9]+ *(INITED|DONE)|^stat::|==[0-9]+== ?ERROR|^SUMMARY|Test unit written" || true
done
