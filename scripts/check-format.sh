#!/usr/bin/env bash
# Fails, naming them, when C++ sources differ from the project's
# .clang-format. With --fix, formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$format" ]; then
  echo "check-format: clang-format is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find base render capture audio record app sim tests bench -name '*.cpp' -o -name '*.h' | sort)
fi
if [ "${1:-}" = --fix ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
differ=()
for f in "${files[@]}"; do
  if ! "$format" --dry-run --Werror "$f" >/dev/null 2>&1; then differ+=("$f"); fi
done
if [ ${#differ[@]} -gt 0 ]; then
  echo "check-format: ${#differ[@]} file(s) differ from .clang-format ($format); run scripts/check-format.sh --fix:" >&2
  printf '  %s\n' "${differ[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted as .clang-format says"
