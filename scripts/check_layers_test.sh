#!/usr/bin/env bash
# The layer check on small trees of its own: it passes a tree that keeps the
# order and fails each kind of upward include, naming the file and line.
set -euo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check_layers.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

put() {
  mkdir -p "$tree/$(dirname "$1")"
  printf '%s\n' "${@:2}" >"$tree/$1"
}
put platform/platform.h '#include <cstdint>'
put storeformat/store_header.h '#include "fileaccess/file_access.h"' '#include "store_header.h"'
put storeformat/store_header_test.cc '#include "tests/support/test_support.h"'
put commands/commands.h '#include "report/report.h"' '#include "storeformat/store_header.h"'
put console/menu.cc '#include "commands/commands.h"'
put tools/inspect/store.cc '#include "storeformat/store_header.h"' '#include "tools/inspect/store.h"'
"$check" "$tree" >/dev/null || { echo "FAIL: a sound tree was refused"; exit 1; }

expect_refused() {
  local file=$1 include=$2 expected=$3 out
  put "$file" "#include <cstdio>" "#include \"$include\""
  if out=$("$check" "$tree" 2>/dev/null); then
    echo "FAIL: $file including $include passed"
    exit 1
  fi
  grep -qF "$expected" <<<"$out" || { echo "FAIL: expected '$expected' in: $out"; exit 1; }
  rm "$tree/$file"
}
expect_refused storeformat/bad.cc report/report.h "storeformat/bad.cc:2: includes report/report.h"
expect_refused storeformat/bad.cc storeconfig/store_config.h "storeconfig is not below storeformat"
expect_refused commands/bad.h console/menu.h "console is not below commands"
expect_refused platform/bad.cc tests/support/test_support.h "tests is no layer"
expect_refused fileaccess/bad.cc fuzz/fuzz_support.h "fuzz is no layer"
expect_refused tools/inspect/bad.cc commands/commands.h "tools/inspect builds on"
expect_refused tools/storegen/bad.cc tools/inspect/store.h "tools/storegen builds on"
"$check" "$tree" >/dev/null || { echo "FAIL: the tree was not sound again"; exit 1; }
echo "layer check test: passed"
