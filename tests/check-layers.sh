#!/usr/bin/env bash
# The layer order of the library, proved two ways:
#   platform  <-  crypto, armour, attachments  <-  pipelines  <-  mail  <-  shell
# (crypto, armour and attachments do not use each other; mail, the received-mail reader on
# GMime, is a library of its own that the core does not link).
#   check-layers.sh ROOT            fails when a source file includes a header from a folder to
#                                   its right, or a program includes anything of the library but
#                                   its public header and platform/ (the file primitives the tool
#                                   writes its files with, so that it makes none of its own);
#   check-layers.sh --objects BUILD fails when an object file of the library uses a symbol that
#                                   only a folder to its right defines. The include check sees
#                                   what a file names; this one what the linker would join, so a
#                                   declaration copied by hand cannot hide a call that runs the
#                                   wrong way. The members of the utility object TypUtils live
#                                   with the folder whose rules they carry, so a call to one of
#                                   them is allowed from anywhere.
set -euo pipefail

allowed_for() {
  case $1 in
    platform) echo "platform" ;;
    crypto) echo "platform crypto" ;;
    armour) echo "platform armour" ;;
    attachments) echo "platform attachments" ;;
    pipelines) echo "platform crypto armour attachments pipelines" ;;
    mail) echo "platform crypto armour attachments pipelines mail" ;;
    shell) echo "shell mail platform" ;;
  esac
}

check_includes() {
  cd "$1"
  status=0
  for layer in platform crypto armour attachments pipelines mail shell; do
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
        case " platform crypto armour attachments pipelines mail shell " in
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
  return "$status"
}

check_objects() {
  objects_dir="$1/CMakeFiles/veldoran.dir"
  mail_objects_dir="$1/CMakeFiles/veldoran_mail.dir"
  [ -d "$objects_dir" ] || { echo "check-layers: no library objects in $objects_dir" >&2; return 1; }
  layers="platform crypto armour attachments pipelines mail"
  # One line per symbol use or definition: "U layer object symbol" or "D layer - symbol".
  listing() {
    for layer in $layers; do
      folder="$objects_dir/$layer"
      [ "$layer" = mail ] && folder="$mail_objects_dir/$layer"
      [ -d "$folder" ] || continue
      for object in "$folder"/*.o; do
        nm --format=posix "$object" | awk -v layer="$layer" -v object="$object" '
          $2 == "U" { print "U", layer, object, $1; next }
          $2 ~ /^[TtWwVvDdBbRru]$/ { print "D", layer, "-", $1 }'
      done
    done
  }

  rules=""
  for layer in $layers; do
    rules="$rules $layer=$(allowed_for "$layer" | tr ' ' ',')"
  done

  report=$(listing | c++filt | awk -v rules="$rules" '
    BEGIN {
      count = split(rules, pairs, " ")
      for (k = 1; k <= count; k++) {
        split(pairs[k], sides, "=")
        n = split(sides[2], allowedLayers, ",")
        for (j = 1; j <= n; j++) allowed[sides[1], allowedLayers[j]] = 1
      }
    }
    {
      kind = $1; layer = $2; object = $3
      symbol = $0
      sub(/^[^ ]+ [^ ]+ [^ ]+ /, "", symbol)
      if (kind == "D") { definers[symbol] = definers[symbol] " " layer; defined[symbol, layer] = 1 }
      else { uses[++useCount] = layer SUBSEP object SUBSEP symbol }
    }
    END {
      for (u = 1; u <= useCount; u++) {
        split(uses[u], parts, SUBSEP)
        layer = parts[1]; object = parts[2]; symbol = parts[3]
        if (!(symbol in definers)) continue
        if (symbol ~ /^TypUtils::/ || symbol ~ /^(vtable|typeinfo|typeinfo name) for TypUtils$/) continue
        ok = 0
        n = split(definers[symbol], owners, " ")
        for (j = 1; j <= n; j++) if ((layer, owners[j]) in allowed) ok = 1
        if (!ok) printf "%s: uses %s, defined in%s; a layer %s may not use it\n", object, symbol, definers[symbol], layer
      }
    }')
  if [ -n "$report" ]; then
    printf '%s\n' "$report" >&2
    return 1
  fi
  echo "layers: every library object uses only its own folder and those to its left"
}

if [ "${1:-}" = --objects ]; then
  check_objects "${2:?usage: check-layers.sh --objects BUILD_DIR}"
else
  check_includes "${1:-$(cd "$(dirname "$0")/.." && pwd)}"
fi
