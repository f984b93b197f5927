#!/usr/bin/env bash
# Installs what the fuzz build needs and `make test` does not: clang-14 and
# its runtime libraries (libFuzzer, the sanitizers). Does nothing when both
# are there.
set -euo pipefail
if command -v clang++-14 >/dev/null 2>&1 \
   && ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    exit 0
fi
echo "[fuzz] installing clang-14 and libclang-rt-14-dev"
SUDO=(); [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && SUDO=(sudo)
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    clang-14 libclang-rt-14-dev
