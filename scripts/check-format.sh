#!/usr/bin/env bash
# Fails when a C++ file tracked by git is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
  echo "check-format: clang-format not installed" >&2
  exit 1
fi
bad=0
while IFS= read -r f; do
  if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
    echo "check-format: needs clang-format: $f"
    bad=1
  fi
done < <(git ls-files '*.cpp' '*.h')
exit $bad
