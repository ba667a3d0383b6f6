#!/usr/bin/env bash
# Fails when a source file differs from the project's clang-format style.
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format
command -v clang-format-14 >/dev/null 2>&1 && format=clang-format-14
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
  'platform/*' 'crypto/*' 'armour/*' 'attachments/*' 'pipelines/*' 'shell/*' 'tests/*' \
  'bench/*' 'fuzz/*' 'include/*' | grep -E '\.(h|cpp)$' || true)
[ ${#files[@]} -eq 0 ] && exit 0
"$format" --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files clean"
