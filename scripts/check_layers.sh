#!/usr/bin/env bash
# The layers of the project, from the bottom. A file may include from its own
# folder and from folders below it, never from one above it or beside it on
# its level. Each tool in tools/ may include its own folder and the layers its
# line below names, never another tool nor the utility's own layers it does
# not name. Unit tests and their helpers (*_test.cc, *_testing.h) may also
# include the test support in tests/. tests/, fuzz/ and bench/ sit above
# everything and are not checked.
#
# usage: scripts/check_layers.sh [ROOT]   (ROOT: the source tree, default the
# one this script is in). Prints every violation; exit status 1 when there is
# one, 0 otherwise.
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

layers=(
  platform
  messaging
  fileaccess
  "storeformat storeconfig"
  report
  commands
  console
)

# What each tool builds on: the format and file layers, never the menu's
# commands, so that a tool reads a store file as the utility's layers do
# without pulling in the console.
declare -A tool_uses=(
  [inspect]="platform messaging fileaccess storeformat"
  [storegen]="platform messaging fileaccess storeformat"
  [reg]="platform"
)

declare -A level
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do level[$folder]=$i; done
done

# Every folder include of the files under FOLDER, one line each:
# FILE LINE TARGET TO, where TO is the folder included (tools/NAME for a
# tool). A name without a folder is the file's own neighbour, and a unit
# test's include of the test support is always allowed: neither is listed.
includes() {
  local file hit target to
  while IFS= read -r -d '' file; do
    while IFS= read -r hit; do
      target=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$hit")
      [[ $target == */* ]] || continue
      to=${target%%/*}
      [[ $to == tools ]] && to=$(cut -d/ -f1-2 <<<"$target")
      if [[ $to == tests && ($file == *_test.cc || $file == *_testing.h) ]]; then continue; fi
      echo "$file ${hit%%:*} $target $to"
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done < <(find "$1" -type f \( -name '*.cc' -o -name '*.h' \) -print0)
}

violations=0
for folder in "${!level[@]}"; do
  [ -d "$folder" ] || continue
  mine=${level[$folder]}
  while read -r file line target to; do
    if [[ $to == "$folder" ]]; then continue; fi
    if [[ -n ${level[$to]:-} ]] && ((level[$to] < mine)); then continue; fi
    if [[ -n ${level[$to]:-} ]]; then
      echo "$file:$line: includes $target: $to is not below $folder"
    else
      echo "$file:$line: includes $target: $to is no layer a product folder may use"
    fi
    violations=$((violations + 1))
  done < <(includes "$folder")
done

for tool in "${!tool_uses[@]}"; do
  [ -d "tools/$tool" ] || continue
  allowed=" ${tool_uses[$tool]} tools/$tool "
  while read -r file line target to; do
    [[ $allowed == *" $to "* ]] && continue
    echo "$file:$line: includes $target: tools/$tool builds on ${tool_uses[$tool]} only"
    violations=$((violations + 1))
  done < <(includes "tools/$tool")
done

if ((violations > 0)); then
  echo "layer check: $violations upward include(s); the order from the bottom is:" >&2
  printf '  %s\n' "${layers[@]}" >&2
  for tool in "${!tool_uses[@]}"; do echo "  tools/$tool on: ${tool_uses[$tool]}" >&2; done
  exit 1
fi
echo "layer check: no folder includes one above it"
