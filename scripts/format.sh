#!/usr/bin/env bash
# Formats every C++ source git tracks with clang-format (.clang-format); --check changes
# nothing and fails, listing the files, when one is not formatted.
#   scripts/format.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages clang-format git
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
    unformatted=()
    for f in "${files[@]}"; do
        clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
    done
    if [ ${#unformatted[@]} -gt 0 ]; then
        echo "format.sh: not formatted (run scripts/format.sh): ${unformatted[*]}" >&2
        exit 1
    fi
    echo "format.sh: ${#files[@]} files formatted"
else
    clang-format -i "${files[@]}"
fi
