#!/usr/bin/env bash
# Fails when an object file of the library uses a symbol that only a folder to its right in the
# layer order defines
#   platform  <-  crypto, armour, attachments  <-  pipelines
# (crypto, armour and attachments do not use each other). The include check sees what a file
# names; this one sees what the linker would join, so a declaration copied by hand cannot hide a
# call that runs the wrong way. The members of the utility object TypUtils live with the folder
# whose rules they carry, so a call to one of them is allowed from anywhere.
set -euo pipefail
build_dir=${1:?usage: check-link-layers.sh BUILD_DIR}
objects_dir="$build_dir/CMakeFiles/veldoran.dir"
[ -d "$objects_dir" ] || { echo "check-link-layers: no library objects in $objects_dir" >&2; exit 1; }

allowed_for() {
  case $1 in
    platform) echo "platform" ;;
    crypto) echo "platform crypto" ;;
    armour) echo "platform armour" ;;
    attachments) echo "platform attachments" ;;
    pipelines) echo "platform crypto armour attachments pipelines" ;;
  esac
}

layers="platform crypto armour attachments pipelines"
# One line per symbol use or definition: "D layer symbol" or "U layer object symbol".
listing() {
  for layer in $layers; do
    [ -d "$objects_dir/$layer" ] || continue
    for object in "$objects_dir/$layer"/*.o; do
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
  exit 1
fi
echo "link layers: every library object uses only its own folder and those to its left"
