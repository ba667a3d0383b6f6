#!/usr/bin/env bash
# Fails when .clang-format does not load or a source file differs from the project's style.
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format
command -v clang-format-14 >/dev/null 2>&1 && format=clang-format-14
"$format" --style=file --assume-filename=check.cpp --dump-config >/dev/null

folders=(platform crypto armour attachments pipelines shell tests bench fuzz include)
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- "${folders[@]}" |
                       grep -E '\.(h|cpp)$' || true)
else
  mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) \
                       2>/dev/null | sort)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "format: no source files"
  exit 0
fi
"$format" --style=file --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files clean"
