#!/usr/bin/env bash
# install-deps against a package database of its own (DPKG_ADMINDIR) and an
# apt-get that only records how it was called: it asks for exactly the
# packages of the chosen groups that dpkg does not count as installed.
set -euo pipefail
script="$(cd "$(dirname "$0")" && pwd)/install-deps"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export DPKG_ADMINDIR=$work/dpkg PATH="$work/bin:$PATH"
mkdir -p "$DPKG_ADMINDIR/info" "$work/bin"
touch "$DPKG_ADMINDIR/available"
cat >"$work/bin/apt-get" <<EOF
#!/bin/sh
echo "apt-get \$*" >>"$work/apt.log"
EOF
chmod +x "$work/bin/apt-get"

fail() { echo "FAIL: $*"; exit 1; }
# write_status [NAME STATUS]...: the database holds these packages in these states.
write_status() {
  : >"$DPKG_ADMINDIR/status"
  while (($#)); do
    printf 'Package: %s\nStatus: %s\nMaintainer: t <t@t.invalid>\nArchitecture: all\nVersion: 1\nDescription: t\n\n' \
      "$1" "$2" >>"$DPKG_ADMINDIR/status"
    shift 2
  done
}

# On an empty database every base package is missing, in the list's order.
write_status
mapfile -t base < <("$script" --list-missing)
[[ ${base[*]} == "cmake ninja-build g++ libgtest-dev libcli11-dev nlohmann-json3-dev dpkg-dev file" ]] ||
  fail "base list: ${base[*]}"

# Installed, removed with its configuration kept, half-configured, and a
# package of another group that is installed but not asked for.
entries=()
for name in "${base[@]}"; do
  case $name in
    libcli11-dev) entries+=("$name" "deinstall ok config-files") ;;
    nlohmann-json3-dev) entries+=("$name" "install ok half-configured") ;;
    *) entries+=("$name" "install ok installed") ;;
  esac
done
write_status "${entries[@]}" wine "install ok installed" clang "install ok installed"
[[ $("$script" --list-missing | tr '\n' ' ') == "libcli11-dev nlohmann-json3-dev " ]] ||
  fail "missing base: $("$script" --list-missing)"
[[ $("$script" --list-missing --with-windows | tr '\n' ' ') == \
  "libcli11-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix googletest wine64 wixl msitools mandoc " ]] ||
  fail "missing with windows: $("$script" --list-missing --with-windows)"
# A package of two groups is asked for once.
[[ $("$script" --list-missing --with-windows --with-ci | grep -cx mandoc) == 1 ]] ||
  fail "mandoc not listed once: $("$script" --list-missing --with-windows --with-ci)"
[[ ! -e $work/apt.log ]] || fail "--list-missing ran apt-get"

# The install names what it installs and asks apt-get for exactly that.
out=$("$script")
grep -q '^  nlohmann-json3-dev  *varno-inspect' <<<"$out" || fail "no announcement in: $out"
[[ $(cat "$work/apt.log") == $'apt-get update -qq\napt-get install -y -qq libcli11-dev nlohmann-json3-dev' ]] ||
  fail "apt-get calls: $(cat "$work/apt.log")"

# Nothing missing: apt-get is not called at all.
rm "$work/apt.log"
entries=()
for name in "${base[@]}"; do entries+=("$name" "install ok installed"); done
write_status "${entries[@]}"
"$script" | grep -q 'every package is installed' || fail "complete database not reported"
[[ ! -e $work/apt.log ]] || fail "apt-get called with nothing missing"
echo "install-deps test: passed"
