#!/usr/bin/env bash
# Checks that the folders of src/ form a stack: every #include "folder/..." points at the same
# folder or at one lower in the list below, so there is no upward edge and no cycle. Prints the
# folder graph; exits 1 on the first bad edge or on a folder that is not in the list.
#   bash scripts/check_layers.sh [SRC_DIR]
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}

# Lowest first. Folders on one line are peers and may not include each other.
layers=(
  "platform"
  "device"
  "engine"
  "formats"
  "fat ntfs exfat ext carve"
  "scan"
  "app"
  "preview"
  "cli gui"
)
# The front ends go through the application layer only.
declare -A only=( [cli]="app preview platform" [gui]="app preview platform" )

declare -A rank
for i in "${!layers[@]}"; do for f in ${layers[$i]}; do rank[$f]=$i; done; done

bad=0
declare -A edges
for dir in "$src"/*/; do
  from=$(basename "$dir")
  if [ -z "${rank[$from]+x}" ]; then echo "unknown folder src/$from/ (add it to the layer list)"; bad=1; continue; fi
  while IFS=: read -r file to; do
    [ "$to" = "$from" ] && continue
    edges["$from -> $to"]=1
    if [ -z "${rank[$to]+x}" ]; then echo "unknown folder: $file includes $to/"; bad=1
    elif [ -n "${only[$from]+x}" ] && [[ " ${only[$from]} " != *" $to "* ]]; then
      echo "front end reaches past the application layer: $file includes $to/"; bad=1
    elif [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
      echo "upward or sideways edge: $file includes $to/"; bad=1
    fi
  done < <(grep -roE '^\s*#\s*include\s+"[a-z_]+/' "$dir" | sed -E 's#^([^:]+):.*"([a-z_]+)/$#\1:\2#')
done

for e in "${!edges[@]}"; do echo "$e"; done | sort
exit $bad
