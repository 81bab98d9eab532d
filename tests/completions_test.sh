#!/usr/bin/env bash
# Loads the completions of bash, and of zsh and fish where they are
# installed, non-interactively. bash's is run on a directory of models,
# outputs and other files, and must offer the options and the models alone.
#
#   bash tests/completions_test.sh COMPLETIONS_DIR
# Exits 77 (skipped) without bash-completion's compgen/complete builtins.
set -euo pipefail
completions=$(cd "$1" && pwd)
type compgen >/dev/null 2>&1 || { echo "no compgen: skipped"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir runs.d
touch m.zelk m-p0.zelk m-p11.zelk arb-p4.zelk notes.txt 'two words.zelk' \
  .propslice-0123456789abcdef.tmp runs.d/a.zelk runs.d/a-p1.zelk

# shellcheck source=/dev/null
source "$completions/propslice.bash"
offered() {
  COMP_WORDS=(propslice -v "$1")
  COMP_CWORD=2
  _propslice
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' '
}
check() {
  local got
  got=$(offered "$1")
  [[ $got == "$2" ]] || { echo "completing '$1': got '$got', want '$2'" >&2; exit 1; }
}
check '' 'arb-p4.zelk m.zelk runs.d two words.zelk'
check - '--help -f -h -v'
check --h '--help'
check m 'm.zelk'
check runs.d/ 'runs.d/a.zelk'
[[ $(complete -p propslice) == *"-F _propslice propslice" ]]
echo "bash: completes the options and the models"

if command -v zsh >/dev/null; then
  zsh -n "$completions/_propslice"
  echo "zsh: parses"
else
  echo "zsh: not installed, not tried"
fi
if command -v fish >/dev/null; then
  fish --no-execute "$completions/propslice.fish"
  echo "fish: parses"
else
  echo "fish: not installed, not tried"
fi
