#!/usr/bin/env bash
# Fails when a source file includes a header from a folder to its right in the layer order
#   platform  <-  crypto, armour, attachments  <-  pipelines  <-  shell
# (crypto, armour and attachments do not include each other), or when a program includes
# anything of the library but its public header.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

allowed_for() {
  case $1 in
    platform) echo "platform" ;;
    crypto) echo "platform crypto" ;;
    armour) echo "platform armour" ;;
    attachments) echo "platform attachments" ;;
    pipelines) echo "platform crypto armour attachments pipelines" ;;
    shell) echo "shell" ;;
  esac
}

status=0
for layer in platform crypto armour attachments pipelines shell; do
  [ -d "$layer" ] || continue
  allowed=$(allowed_for "$layer")
  while IFS= read -r -d '' file; do
    while IFS= read -r included; do
      folder=${included%%/*}
      if [ "$folder" = "$included" ]; then
        # A header without a folder: only the programs may take the public header.
        if [ "$included" = veldoran.h ] && [ "$layer" != shell ]; then
          echo "$file: the library includes the public header $included" >&2
          status=1
        fi
        continue
      fi
      case " platform crypto armour attachments pipelines shell " in
        *" $folder "*) ;;
        *) continue ;;
      esac
      case " $allowed " in
        *" $folder "*) ;;
        *)
          echo "$file: includes $included, a layer $layer may not use" >&2
          status=1
          ;;
      esac
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
  done < <(find "$layer" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
done
if [ "$status" -eq 0 ]; then
  echo "layers: every include runs the allowed way"
fi
exit "$status"
