#!/usr/bin/env bash
# Runs the main job on bundled demo data. Until the program exists it reports what was built.
set -euo pipefail
build_dir=${1:-build}
echo "Built: $(ls "$build_dir"/libveldoran.* 2>/dev/null | xargs -n1 basename | tr '\n' ' ')"
