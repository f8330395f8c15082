#!/bin/sh
# Plays the Codex program in "app-server --stdio" mode for the metadata reader's tests.
# FAKE_CODEX_MODE picks the behaviour; FAKE_CODEX_LOG, when set, receives every line read;
# FAKE_CODEX_PIDFILE, when set, receives this process's id.
[ "$1" = app-server ] && [ "$2" = --stdio ] || exit 2
mode=${FAKE_CODEX_MODE:-answer}
log=${FAKE_CODEX_LOG:-/dev/null}
[ -n "$FAKE_CODEX_PIDFILE" ] && echo $$ >"$FAKE_CODEX_PIDFILE"
: >"$log"

field() { # field NAME LINE: the value of "NAME":<number> or "NAME":"<text>"
  printf '%s' "$2" | sed -n "s/.*\"$1\":\"\{0,1\}\([^\",}]*\).*/\1/p"
}
answer() { # answer ID THREAD
  case $mode in
    wrong-thread) printf '{"id":%s,"result":{"thread":{"id":"00000000-0000-4000-8000-000000000000","name":"Other"}}}\n' "$1" ;;
    blank-name) printf '{"id":%s,"result":{"thread":{"id":"%s","name":"  \\n "}}}\n' "$1" "$2" ;;
    no-thread) printf '{"id":%s,"error":{"code":-32600,"message":"thread not found"}}\n' "$1" ;;
    *) printf '{"id":%s,"result":{"thread":{"id":"%s","name":"Title %s"}}}\n' "$1" "$2" "$2" ;;
  esac
}

case $mode in
  silent) cat >>"$log"; exit 0 ;;
  ignore-term) trap '' TERM; while :; do sleep 1; done ;;
  close-input) exec 0<&-; sleep 0.2; printf '{"id":1,"result":{}}\n'; sleep 1; exit 0 ;;
esac

IFS= read -r line || exit 0
printf '%s\n' "$line" >>"$log"
case $mode in
  init-error) printf '{"id":1,"error":{"code":-32600,"message":"no"}}\n'; cat >>"$log"; exit 0 ;;
  exit-early) printf '{"id":1,"result":{}}\n'; exit 0 ;;
  flood) printf '{"id":1,"result":{}}\n'; exec yes 'flooding output that never ends' ;;
esac
printf '{"id":1,"result":{"userAgent":"fake"}}\n'

out=""
count=0
while IFS= read -r line; do
  printf '%s\n' "$line" >>"$log"
  case $line in *'"thread/read"'*) ;; *) continue ;; esac
  id=$(field id "$line")
  thread=$(field threadId "$line")
  case $mode in
    burst)
      # Everything in one write once FAKE_CODEX_COUNT requests have arrived.
      out="$out$(answer "$id" "$thread")
"
      count=$((count + 1))
      [ "$count" -ge "${FAKE_CODEX_COUNT:-1}" ] && printf '%s' "$out" && out=""
      ;;
    split)
      # Each answer in two writes cut mid-line, the second carrying noise lines too.
      whole=$(answer "$id" "$thread")
      printf '%s' "$(printf '%s' "$whole" | cut -c1-20)"
      sleep 0.2
      printf '%s\nnot json\n[1,2]\n{"id":"7"}\n' "$(printf '%s' "$whole" | cut -c21-)"
      ;;
    oversize)
      printf '{"id":%s,"junk":"' "$id"
      head -c 5000000 /dev/zero | tr '\0' 'x'
      printf '"}\n'
      answer "$id" "$thread"
      ;;
    *) answer "$id" "$thread" ;;
  esac
done
exit 0
