#!/usr/bin/env bash
# Runs each "$ command" of the README's console blocks, with the built
# bytefreq first on PATH, and checks that it prints the lines shown under it.
# Form feeds and trailing blanks are not compared: gnuplot's dumb terminal
# writes both. An example that needs a program not installed is skipped.
# The examples run in a scratch folder, as some write files.
#
#   readme_examples.sh README.md DIRECTORY-OF-BYTEFREQ
set -uo pipefail
readme=$1
export PATH="$2:$PATH"
failures=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

normalise() { tr -d '\f' | sed 's/[[:space:]]*$//'; }

check() {
  local cmd=$1 want program actual
  # The first word of each stage of the pipeline.
  for program in $(grep -oE '(^|\|) *[a-z][a-z0-9-]*' <<<"$cmd" | tr -d '| '); do
    if ! command -v "$program" >/dev/null; then
      echo "skipped, $program is not installed: $cmd"
      return
    fi
  done
  want=$(normalise <<<"$2")
  actual=$(bash -o pipefail -c "$cmd" 2>&1 | normalise)
  if [ "$actual" == "$want" ]; then
    echo "ok: $cmd"
  else
    echo "FAILED: $cmd"
    diff <(echo "$want") <(echo "$actual") | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

in_block=0 cmd='' expected=''
while IFS= read -r line; do
  if [ $in_block -eq 0 ]; then
    [ "$line" == '```console' ] && in_block=1
    continue
  fi
  if [ "$line" == '```' ] || [ "${line:0:2}" == '$ ' ]; then
    [ -n "$cmd" ] && check "$cmd" "$expected"
    cmd='' expected=''
    if [ "$line" == '```' ]; then in_block=0; else cmd=${line:2}; fi
  else
    expected+="$line"$'\n'
  fi
done <"$readme"

[ $failures -eq 0 ]
