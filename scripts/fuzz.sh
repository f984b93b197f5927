#!/usr/bin/env bash
# Runs the two libFuzzer targets that `make fuzz-build` built through CMake
# (build/fuzz, AddressSanitizer and UndefinedBehaviorSanitizer), one after the
# other (one core).
#
#   make fuzz [FUZZ_SECONDS=600]                  (build, then this script)
#   FUZZ_TARGETS=mesh bash scripts/fuzz.sh 600     (one target only)
#
# Findings go to build/fuzz/artifacts/; copy each into
# tests/fuzz_regressions/{image,mesh}/ so that the ordinary test suites replay
# it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_PER_TARGET="${1:-${FUZZ_SECONDS:-300}}"
OUT="$ROOT/build/fuzz"

for target in ${FUZZ_TARGETS:-image mesh}; do
    [ -x "$OUT/fuzz_$target" ] || { echo "[fuzz] $OUT/fuzz_$target missing: run make fuzz-build"; exit 1; }
done
mkdir -p "$OUT/artifacts"
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
