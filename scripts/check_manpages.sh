#!/usr/bin/env bash
# The manual pages in man/: mandoc's lint and man's own formatter find no
# warning, and every command and option that a program's --help names is in
# its page, so that a new option cannot ship undocumented.
#
# usage: scripts/check_manpages.sh [BUILD]   (BUILD: where the programs are,
# default build). Exit status 1 when a page has a problem.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

# Each program's help texts: its own, and each command's where it has them.
help_of() {
  "$build/$1" --help
  if [[ $1 == varno-inspect ]]; then
    # The commands are the indented names under "Subcommands:".
    for command in $(commands_of varno-inspect); do "$build/$1" "$command" --help; done
  fi
}
commands_of() {
  "$build/$1" --help | awk '/^Subcommands:/ {on = 1; next} on && /^  [a-z]/ {print $1} on && /^$/ {exit}'
}

problems=0
for page in man/*.1; do
  program=$(basename "$page" .1)
  if ! mandoc -T lint -W warning "$page"; then
    problems=$((problems + 1))
  fi
  warnings=$(man --warnings -l "$page" 2>&1 >/dev/null || true)
  if [[ -n $warnings ]]; then
    echo "$page: man: $warnings"
    problems=$((problems + 1))
  fi
  # Each option and command has an entry of its own in a tagged list:
  # ".It Fl -name" or ".It Cm name" (several may share one entry).
  for option in $(help_of "$program" | grep -oE '(^|[ ,[])--[a-z][a-z-]*' | grep -oE -- '--[a-z-]+' | sort -u); do
    if ! grep -qE "^\.It (.* )?Fl ${option#-}( |$)" "$page"; then
      echo "$page: $program's help names $option, the page does not"
      problems=$((problems + 1))
    fi
  done
  if [[ $program == varno-inspect ]]; then
    for command in $(commands_of "$program"); do
      if ! grep -qE "^\.It Cm $command( |$)" "$page"; then
        echo "$page: $program's help names the command $command, the page does not"
        problems=$((problems + 1))
      fi
    done
  fi
done

if ((problems > 0)); then
  echo "manual pages: $problems problem(s)" >&2
  exit 1
fi
echo "manual pages: $(ls man/*.1 | wc -l) pages lint clean and name every option of --help"
