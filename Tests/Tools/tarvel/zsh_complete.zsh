#!/usr/bin/env zsh
# Prints what zsh's own completion offers for each command line: the line is typed into an
# interactive zsh on a pseudo-terminal, with the completions of DIRECTORY in $fpath, and TAB is
# pressed. A wrapper of compadd writes the words the completion functions offer (those that match
# what is typed) to a file; each line's words are printed sorted, then "--".
# Usage: zsh_complete.zsh DIRECTORY LINE...   (exit 2 when zsh cannot be driven, 3 on no answer)
zmodload zsh/zpty || exit 2
directory=$1
shift
work=$(mktemp -d) || exit 2
trap 'zpty -d complete 2>/dev/null; rm -rf $work' EXIT

cat >$work/setup.zsh <<SETUP
PROMPT='' RPROMPT=''
unsetopt AUTO_LIST LIST_AMBIGUOUS BEEP
fpath=(${(q)directory} \$fpath)
autoload -Uz compinit && compinit -u -D
compadd() {
  # Calls that only ask which words would match are the completion system's own.
  if (( \${@[1,(i)--][(I)-[OAD]*]} )); then
    builtin compadd "\$@"
    return
  fi
  local -a found
  builtin compadd -O found "\$@"
  (( \$#found )) && print -rl -- \$found >>$work/words
  builtin compadd "\$@"
}
offer() {
  : >$work/words
  zle complete-word
  print -r -- done >$work/done
}
zle -N offer
bindkey '^I' offer
print -r -- ready >$work/done
SETUP

# Waits (at most 30 s, against a hang) for zsh to write `done`, reading what it echoes meanwhile
# so that the terminal's buffer never fills.
answered() {
  local chunk
  repeat 600; do
    [[ -s $work/done ]] && return 0
    while zpty -rt complete chunk 2>/dev/null; do :; done
    sleep 0.05
  done
  return 1
}

zpty complete zsh -f -i || exit 2
zpty -w complete "source ${(q)work}/setup.zsh"
answered || { print -u2 "zsh did not start"; exit 3; }
for line in "$@"; do
  rm -f $work/done
  zpty -n -w complete "$line"$'\t'
  answered || { print -u2 "no completion for: $line"; exit 3; }
  [[ -f $work/words ]] && sort -u $work/words
  print -r -- --
  zpty -n -w complete $'\C-u'
done
