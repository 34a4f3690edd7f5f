#!/bin/sh
# Checks that every C and C++ file of the project is formatted as .clang-format says (Debian 12's
# clang-format 14). Prints the files that differ and exits 1 when there are any; with --fix,
# formats them in place instead.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh clang-format

files=$(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
    echo "$files" | xargs clang-format -i
    exit 0
fi
bad=""
for f in $files; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad="$bad $f"
done
if [ -n "$bad" ]; then
    echo "Not formatted as .clang-format says (scripts/format-check.sh --fix formats them):"
    for f in $bad; do echo "  $f"; done
    exit 1
fi
echo "All $(echo "$files" | wc -l) C and C++ files are formatted."
