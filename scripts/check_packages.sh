#!/usr/bin/env bash
# The packages install and their programs run from where they were installed.
#
# usage: scripts/check_packages.sh linux [BUILD]
#   the .deb (dependencies named; lintian finds no error or warning; the
#   copyright file, the changelog of this version, the programs hardened;
#   unpacked into a scratch root with dpkg -x) and the .tar.gz of BUILD
#   (default build), made by the `package` workflow.
# usage: scripts/check_packages.sh windows [BUILD] [WINE64]
#   the ZIP of BUILD (default build/windows): its files, the manual pages as
#   HTML, every program's copyright in its version information; the MSI under
#   wine, in the prefix of $WINEPREFIX (default BUILD/wineprefix), whose
#   session must be running (cmake/wine-session.sh): its tables and the
#   programs' file versions; install, the programs run from Program Files and
#   from the PATH, the Prometheus checks on their output; a newer version
#   replaces it and an older one is refused; uninstall leaves neither files
#   nor the PATH entry.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
version=$(sed -nE 's/^project\(varno VERSION ([0-9.]+) .*/\1/p' "$root/CMakeLists.txt")
copyright=$(sed -nE 's/^set\(VARNO_COPYRIGHT "(.*)"\)/\1/p' "$root/CMakeLists.txt")
revision=$(sed -nE 's/^ *set\(CPACK_DEBIAN_PACKAGE_RELEASE ([0-9]+)\)/\1/p' "$root/cmake/packaging.cmake")
programs=(varno-analyze varno-inspect varno-reg varno-storegen)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
size() { echo "$(basename "$1"): $(stat -c %s "$1") bytes"; }

# The programs of a tree answer; the utility runs its menu to the end. Names
# relative to the work folder: on Windows varno-inspect takes "/x" for an
# option.
run_programs() {
  local dir=$1 ext=$2
  shift 2
  (
    cd "$work"
    export VARNO_HOME="$work/home/"
    [[ $("$@" "$dir/varno-inspect$ext" --version | tr -d '\r') == "varno-inspect $version" ]] ||
      fail "varno-inspect --version in $dir"
    "$@" "$dir/varno-reg$ext" --help >/dev/null || fail "varno-reg --help in $dir"
    "$@" "$dir/varno-storegen$ext" p.store --messages 3 >/dev/null || fail "varno-storegen in $dir"
    "$@" "$dir/varno-inspect$ext" verify p.store >/dev/null || fail "varno-inspect verify in $dir"
    printf '5000\nx\n' | "$@" "$dir/varno-analyze$ext" | grep -q 'Analyze Utility' ||
      fail "varno-analyze in $dir"
    rm p.store
  )
}

linux() {
  local build=${1:-build}
  local deb=$build/varno_${version}-${revision}_amd64.deb tgz=$build/varno-$version-Linux-x86_64.tar.gz
  size "$deb"
  size "$tgz"
  # Debian's policy as lintian reads it: no error and no warning; what is
  # overridden says why in cmake/deb/lintian-overrides.
  local tags
  tags=$(lintian --display-info --show-overrides --fail-on none "$deb" 2>&1) ||
    { echo "$tags"; fail "lintian could not check the .deb"; }
  tags=$(grep -E '^[EWIPO]:' <<<"$tags" || true)
  echo "  lintian: ${tags:-no tags}" | sed '2,$s/^/           /'
  ! grep -qE '^[EW]:' <<<"$tags" || fail "lintian finds errors or warnings in the .deb"

  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "  Depends: $depends"
  [[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "the .deb names no libc6 and libstdc++6"

  dpkg -x "$deb" "$work/root"
  for program in "${programs[@]}"; do
    [[ -x $work/root/usr/bin/$program ]] || fail "the .deb has no /usr/bin/$program"
    # A page that man renders without a warning, under the program's name.
    local page=$work/root/usr/share/man/man1/$program.1.gz
    [[ $(man --warnings -l "$page" 2>&1 | grep -m1 -o "^${program^^}(1)") == "${program^^}(1)" ]] ||
      fail "no manual page $program(1) in the .deb"
  done
  [[ -f $work/root/usr/share/doc/varno/README.md ]] || fail "the .deb has no README"
  # The monitoring job: its timer, a service that runs the packaged program,
  # the alert rules and their test.
  for file in lib/systemd/system/varno-store-metrics.timer \
    share/doc/varno/examples/varno-store.rules.yml share/doc/varno/examples/varno-store.rules.test.yml; do
    [[ -f $work/root/usr/$file ]] || fail "the .deb has no /usr/$file"
  done
  grep -qx 'ExecStart=/usr/bin/varno-inspect backlog .*' \
    "$work/root/usr/lib/systemd/system/varno-store-metrics.service" ||
    fail "the .deb's varno-store-metrics.service does not run /usr/bin/varno-inspect"
  local doc=$work/root/usr/share/doc/varno
  [[ $(head -n1 "$doc/copyright") == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]] ||
    fail "the .deb's copyright file is not machine-readable"
  grep -qx "Copyright: $copyright" "$doc/copyright" || fail "the copyright file does not name $copyright"
  [[ $(gzip -dc "$doc/changelog.Debian.gz" | head -n1) == "varno ($version-$revision) "* ]] ||
    fail "the changelog's newest entry is not $version-$revision"
  for program in "${programs[@]}"; do hardened "$work/root/usr/bin/$program"; done
  run_programs "$work/root/usr/bin" ""

  # The archive holds the same tree under its top folder, less /usr.
  diff <(cd "$work/root/usr" && find . -type f | sort) \
    <(tar -tzf "$tgz" | sed -n "s|^varno-$version-Linux-x86_64/|./|p" | grep -v '/$' | sort) ||
    fail "the .tar.gz and the .deb hold different files"
  echo "linux packages: the .deb unpacks and its programs run; the .tar.gz holds the same files"
}

windows() {
  local build=${1:-build/windows} wine=${2:-wine64}
  export WINEPREFIX=${WINEPREFIX:-$(realpath "$build")/wineprefix} WINEDEBUG=-all
  local msi=$build/varno-$version-Windows-x86_64.msi zip=$build/varno-$version-Windows-x86_64.zip
  size "$zip"
  size "$msi"
  zip_contents "$zip"
  table() { msiinfo export "$msi" "$1" | tr -d '\r'; }
  table Property | grep -qxF "ProductVersion	$version" || fail "ProductVersion is not $version"
  table Property | grep -q '^UpgradeCode	{' || fail "the MSI has no UpgradeCode"
  table Environment | grep -q '^Path	=-\*PATH	\[~\];\[INSTALLDIR\]	' ||
    fail "the MSI puts nothing on the PATH"
  for program in "${programs[@]}"; do
    # Its name (short|long) and the version its version information gives.
    [[ $(table File | awk -F'\t' -v n="$program.exe" '$3 == n || $3 ~ ("[|]" n "$") {print $5}') == "$version.0" ]] ||
      fail "the MSI's File table gives $program.exe no version $version.0"
    table File | grep -q "	$program.html	" || fail "the MSI has no $program.html"
  done
  # The monitoring job: the scheduled task and the alert rules with their test.
  for file in varno-store-metrics.xml varno-store.rules.yml varno-store.rules.test.yml; do
    table File | awk -F'\t' -v n="$file" '$3 == n || $3 ~ ("[|]" n "$") {found = 1} END {exit !found}' ||
      fail "the MSI has no $file"
  done

  # wine leaves the separator of a removed PATH entry behind, and its cmd stops
  # searching at an empty entry: start from a PATH without them.
  local path
  path=$(system_path)
  if [[ $path == *";;"* || $path == *";" ]]; then
    path=$(sed -E 's/;;+/;/g; s/;$//' <<<"$path")
    "$wine" reg add "$environment" /v PATH /t REG_EXPAND_SZ /d "$path" /f >/dev/null
  fi

  local installed="$WINEPREFIX/drive_c/Program Files/Varno"
  "$wine" msiexec /i "$(winepath_of "$msi")" /qn || fail "msiexec /i exited $?"
  for program in "${programs[@]}"; do
    [[ -f $installed/$program.exe ]] || fail "$program.exe not installed in $installed"
    [[ -f $installed/man/$program.html ]] || fail "man/$program.html not installed in $installed"
  done
  [[ -f $installed/contrib/prometheus/varno-store.rules.yml ]] ||
    fail "the alert rules are not installed in $installed"
  run_programs "$installed" .exe "$wine"
  # From the PATH, in a folder that holds no program.
  (cd "$work" && [[ $("$wine" cmd /c varno-inspect.exe --version | tr -d '\r') == "varno-inspect $version" ]]) ||
    fail "varno-inspect.exe is not on the PATH"
  bash "$root/scripts/check_prometheus.sh" "$installed" "$wine"

  # The same product in a newer version replaces it; the older is refused then.
  cpack --config "$build/CPackConfig.cmake" -G External -B "$work/newer" \
    -D CPACK_PACKAGE_VERSION=99.0.0 -D CPACK_PACKAGE_FILE_NAME=varno-newer >/dev/null
  "$wine" msiexec /i "$(winepath_of "$work/newer/varno-newer.msi")" /qn || fail "the upgrade exited $?"
  [[ $(products) == "99.0.0" ]] || fail "after the upgrade: $(products)"
  if "$wine" msiexec /i "$(winepath_of "$msi")" /qn; then fail "the older MSI installed over the newer"; fi
  [[ $(products) == "99.0.0" ]] || fail "after the refused downgrade: $(products)"

  "$wine" msiexec /x "$(winepath_of "$work/newer/varno-newer.msi")" /qn || fail "msiexec /x exited $?"
  [[ -z $(products) ]] || fail "still installed: $(products)"
  [[ ! -e $installed ]] || fail "$installed is left after uninstalling"
  [[ $(system_path) != *Varno* ]] || fail "the PATH keeps the program folder: $(system_path)"
  echo "windows packages: the MSI installs, runs from Program Files and the PATH, upgrades, uninstalls"
}

# The hardening of a distribution's programs, read from the program itself:
# no .comment section, a read-only relocation table bound at start, stack
# canaries and the C library's checked calls.
hardened() {
  local name sections segments dynamic symbols
  name=$(basename "$1")
  # Read whole first: grep -q ending a pipe early would fail it (pipefail).
  sections=$(readelf -SW "$1")
  segments=$(readelf -lW "$1")
  dynamic=$(readelf -dW "$1")
  symbols=$(readelf --dyn-syms -W "$1")
  ! grep -q ' \.comment ' <<<"$sections" || fail "$name keeps its .comment section"
  grep -q GNU_RELRO <<<"$segments" || fail "$name has no read-only relocations (relro)"
  grep -qE '\(BIND_NOW\)|\(FLAGS_1\).* NOW' <<<"$dynamic" || fail "$name binds lazily (no now)"
  grep -q ' __stack_chk_fail@' <<<"$symbols" || fail "$name has no stack protector"
  grep -qE ' __[a-z0-9_]+_chk@' <<<"$symbols" || fail "$name calls no checked function (fortify)"
}

# The ZIP holds the programs, each with its copyright in its version
# information, the README, the manual pages as HTML linking each other, and
# the alert rules with their test and the monitoring job's scheduled task;
# the list is printed.
zip_contents() {
  local zip=$1 top=varno-$version-Windows-x86_64 files
  files=$(cmake -E tar tf "$zip" | sed -n "s|^$top/||p" | grep -v '/$' | sort)
  echo "  the ZIP holds:"
  sed 's/^/    /' <<<"$files"
  local wanted=(README.md contrib/prometheus/varno-store.rules.yml
    contrib/prometheus/varno-store.rules.test.yml contrib/windows/varno-store-metrics.xml)
  for program in "${programs[@]}"; do wanted+=("$program.exe" "man/$program.html"); done
  for file in "${wanted[@]}"; do
    grep -qxF "$file" <<<"$files" || fail "the ZIP has no $file"
  done
  zip=$(realpath "$zip")
  (cd "$work" && cmake -E tar xf "$zip")
  for program in "${programs[@]}"; do
    [[ $(strings -el "$work/$top/$program.exe" | grep -A1 -x LegalCopyright | tail -n1) == "Copyright (C) $copyright" ]] ||
      fail "$program.exe's version information has no LegalCopyright \"Copyright (C) $copyright\""
    grep -qi "<title>$program(1)</title>" "$work/$top/man/$program.html" ||
      fail "man/$program.html is not $program's manual page"
  done
  grep -q 'href="varno-analyze.html"' "$work/$top/man/varno-inspect.html" ||
    fail "the HTML manual pages do not link each other"
  local link
  for link in $(cat "$work/$top"/man/*.html | grep -o 'href="[^":#]*"' | sed 's/^href="//; s/"$//' | sort -u); do
    [[ -f $work/$top/man/$link ]] || fail "a manual page links man/$link, which the ZIP does not hold"
  done
}

winepath_of() { echo "Z:$(realpath "$1" | tr / '\\')"; }
# The versions of this product that the prefix has installed.
products() {
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk 'function done() { if (ours) print version; ours = 0; version = "" }
                      /^HKEY/ {done()} /DisplayName.*Var-No store file tools/ {ours = 1}
                      /DisplayVersion/ {version = $NF} END {done()}' |
    sort | tr '\n' ' ' | sed 's/ $//'
}
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
system_path() {
  "$wine" reg query "$environment" /v PATH | tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'
}

case ${1:-} in
  linux) linux "${@:2}" ;;
  windows) windows "${@:2}" ;;
  *) sed -n '3,13{s/^# \{0,1\}//;p}' "$0" >&2; exit 2 ;;
esac
