#!/usr/bin/env bash
# Checks that the C++ sources follow .clang-format; with --fix, rewrites them.
#
#   bash scripts/check-format.sh [--fix]
#
# Exits 1 and names each file and line that differs; 77 (skipped) when clang-format
# is not installed (scripts/install-deps.sh installs it).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
if ! command -v clang-format > /dev/null; then
    echo "check-format.sh: clang-format not found; skipping" >&2
    exit 77
fi
mapfile -t FILES < <(find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) | sort)
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${FILES[@]}"
    exit 0
fi
if ! clang-format --dry-run -Werror "${FILES[@]}"; then
    echo "Some files do not follow .clang-format; run: bash scripts/check-format.sh --fix" >&2
    exit 1
fi
