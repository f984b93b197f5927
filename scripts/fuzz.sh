#!/usr/bin/env bash
# Runs the libFuzzer targets that `make fuzz-build` built through CMake
# (build/fuzz, AddressSanitizer and UndefinedBehaviorSanitizer), one after the
# other (one core): image bytes, mesh input, and sprites for the sprite
# mesher.
#
#   make fuzz [FUZZ_SECONDS=600]                  (build, then this script)
#   FUZZ_TARGETS=sprite bash scripts/fuzz.sh 600   (one target only)
#
# Findings go to build/fuzz/artifacts/; copy each into
# tests/fuzz_regressions/{image,mesh,sprite}/ so that the ordinary test suites
# replay it. tests/fuzz_regressions/sprite-open/ holds sprite findings not
# fixed yet (not replayed; VELLUMCUT_FUZZ_SHOW=1 prints the decoded sprite).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_PER_TARGET="${1:-${FUZZ_SECONDS:-300}}"
OUT="$ROOT/build/fuzz"

for target in ${FUZZ_TARGETS:-image mesh sprite}; do
    [ -x "$OUT/fuzz_$target" ] || { echo "[fuzz] $OUT/fuzz_$target missing: run make fuzz-build"; exit 1; }
done
mkdir -p "$OUT/artifacts"
"$ROOT/.venv/bin/python" "$ROOT/fuzz/make_seeds.py" "$OUT/seeds" 2>/dev/null

for target in ${FUZZ_TARGETS:-image mesh sprite}; do
    corpus="$OUT/corpus-$target"
    # A sprite input is a dozen option bytes and at most 64 x 64 alpha bytes.
    max_len=65536; [ "$target" = sprite ] && max_len=4200
    mkdir -p "$corpus"
    echo "[fuzz] running fuzz_$target for ${SECONDS_PER_TARGET}s"
    # Known findings first: they must no longer fail.
    "$OUT/fuzz_$target" -runs=0 -artifact_prefix="$OUT/artifacts/replay-$target-" \
        "$ROOT/tests/fuzz_regressions/$target" >/dev/null 2>&1 \
        || { echo "[fuzz] a kept regression input fails again"; exit 1; }
    "$OUT/fuzz_$target" "$corpus" "$OUT/seeds/$target" \
        -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 -timeout=20 -max_len="$max_len" \
        -artifact_prefix="$OUT/artifacts/$target-" -print_final_stats=1 \
        2>&1 | tee "$OUT/fuzz_$target.log" | grep -E "^#[0-9]+ *(INITED|DONE)|^stat::|==[0-9]+== ?ERROR|^SUMMARY|Test unit written" || true
done
