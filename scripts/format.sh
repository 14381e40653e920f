#!/usr/bin/env bash
# Formats every C++ source git tracks with the project's style, or with --check lists the
# files that differ from it and exits 1. The style needs clang-format 15 or later.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=${CLANG_FORMAT:-clang-format-15}
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.inc')
if [ "${1:-}" = "--check" ]; then
    bad=0
    for f in "${files[@]}"; do
        if ! "$fmt" --dry-run -Werror "$f" >/dev/null 2>&1; then
            echo "$f"
            bad=1
        fi
    done
    exit $bad
fi
"$fmt" -i "${files[@]}"
