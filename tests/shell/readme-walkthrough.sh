#!/usr/bin/env bash
# Runs the "Common tasks" walk-through of the README as written, in a fresh empty folder with
# the built programs on the PATH, so that the walk-through cannot go stale: every indented
# line of that section is a command, and the first failing one fails the test.
#   readme-walkthrough.sh <README.md> <folder holding veldoran-tool>
set -euo pipefail
readme=$1
programs=$(cd "$2" && pwd)

commands=$(awk '/^## Common tasks/ { inside = 1; next }
                /^## / { inside = 0 }
                inside && /^    / { sub(/^    /, ""); print }' "$readme")
if [ -z "$commands" ]; then
  echo "readme-walkthrough: no commands in the Common tasks section of $readme" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The tool keeps its state, home and configuration in the walk-through's folder, never in the
# user's.
export XDG_STATE_HOME="$work/state" HOME="$work/home" XDG_CONFIG_HOME="$work/config"
mkdir -p "$HOME"
PATH="$programs:$PATH" bash -euxo pipefail -c "$commands"
echo "readme-walkthrough: every command ran"
