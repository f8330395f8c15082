#!/usr/bin/env bash
# Setting up and controlling the service through the real programs, in a temporary home:
# - tarvel-island without a terminal fails before it starts anything: no service is left;
# - the configuration file is read by a service started by hand and by one that tarvel-island
#   starts in tmux; a second service is refused with the running one's process id and origin;
# - tarvel web names the exact command that turns the page on, and that command works; its QR
#   codes (terminal and PNG) read back as the address;
# - TLS: served over HTTPS alone with a certificate; files that cannot work refused by name;
# - a bad file is refused with its line and column and the running service keeps its settings;
# - tarvel stop ends the service and leaves no socket or lock file;
# - a service that the systemd user unit runs is stopped and restarted through systemctl.
# Exit 77 (skipped) without tmux.
# Usage: service_control_test.sh <bin directory>
set -u
bin=$1
command -v tmux >/dev/null 2>&1 || { echo "SKIP: tmux is not installed"; exit 77; }

work=$(mktemp -d)
export HOME="$work/home"
mkdir -p "$HOME"
unset XDG_CONFIG_HOME DBUS_SESSION_BUS_ADDRESS TARVEL_STARTED_BY
tmux=(tmux -S "$work/tmux.sock" -f /dev/null)
by_hand=""
cleanup() {
  "${tmux[@]}" kill-server >/dev/null 2>&1
  [ -n "$by_hand" ] && kill "$by_hand" 2>/dev/null
  # A service started in the background (by the island or restart) is ended by its own pid.
  pid=$(sed -n 's/^pid //p' "$HOME/.tarvel/serve.lock" 2>/dev/null)
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  for _ in $(seq 100); do [ -e "$HOME/.tarvel/serve.lock" ] || break; sleep 0.1; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; cat "$HOME/.tarvel/serve.log" 2>/dev/null; exit 1; }
tarvel() { "$bin/tarvel" "$@"; }
# Waits up to 30 s for a command to succeed.
eventually() {
  for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
running() { tarvel status >/dev/null 2>&1; }
not_running() { ! running; }
# Whether the address answers 200 (with the token when one is given).
fetch() {  # url [token]
  python3 - "$@" <<'PY'
import sys, urllib.request
request = urllib.request.Request(sys.argv[1])
if len(sys.argv) > 2:
    request.add_header("Authorization", "Bearer " + sys.argv[2])
sys.exit(0 if urllib.request.urlopen(request, timeout=10).status == 200 else 1)
PY
}
page_up() { [ -f "$HOME/.tarvel/token" ] && fetch "http://127.0.0.1:$1/v1/health" "$(cat "$HOME/.tarvel/token")"; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# A display that cannot run starts nothing.
"$bin/tarvel-island" </dev/null >/dev/null 2>"$work/island.err"
[ $? = 1 ] || fail "tarvel-island without a terminal did not exit 1"
grep -q "not a terminal" "$work/island.err" || fail "tarvel-island said: $(cat "$work/island.err")"
sleep 1
running && fail "tarvel-island without a terminal left a service running"
[ -e "$HOME/.tarvel/api.sock" ] && fail "tarvel-island without a terminal left a socket"

# The file, read by a service started by hand.
port=$(free_port)
tarvel config set http "127.0.0.1:$port" >/dev/null || fail "tarvel config set http failed"
tarvel config set notify false >/dev/null || fail "tarvel config set notify failed"
[ "$(tarvel config get http)" = "\"127.0.0.1:$port\"" ] || fail "config get http: $(tarvel config get http)"
"$bin/tarvel" serve 2>"$work/serve-by-hand.log" &
by_hand=$!
eventually page_up "$port" || fail "the service started by hand does not serve the configured page"
tarvel serve >/dev/null 2>"$work/second.err" && fail "a second tarvel serve was not refused"
grep -q "process $by_hand, started by hand" "$work/second.err" ||
  fail "the refusal does not name the running service: $(cat "$work/second.err")"
grep -q "tarvel stop" "$work/second.err" || fail "the refusal does not say how to stop it"

# Without the page, tarvel web names the command that turns it on; the command works.
tarvel config unset http >/dev/null || fail "tarvel config unset failed"
tarvel restart >"$work/restart.out" 2>&1 || fail "tarvel restart failed: $(cat "$work/restart.out")"
wait "$by_hand" 2>/dev/null
by_hand=""
grep -q "started by tarvel restart" "$work/restart.out" || fail "restart said: $(cat "$work/restart.out")"
tarvel web --no-open >/dev/null 2>"$work/web.err" && fail "tarvel web succeeded without a page"
command=$(grep -o 'tarvel config set http [^ ]* && tarvel restart' "$work/web.err") ||
  fail "tarvel web did not offer the command: $(cat "$work/web.err")"
# Run as offered; only when its port is taken on this machine, with a free one instead.
offered_port=$(grep -o ':[0-9]*' <<<"$command" | tr -d :)
if ! python3 -c "import socket,sys; socket.socket().bind(('127.0.0.1', int(sys.argv[1])))" "$offered_port" 2>/dev/null; then
  command=${command//:$offered_port/:$(free_port)}
fi
(PATH="$bin:$PATH" && eval "$command") >/dev/null 2>&1 || fail "the offered command failed: $command"
url=$(tarvel web --no-open) || fail "tarvel web failed after the offered command"
port=$(sed -E 's|^http://127\.0\.0\.1:([0-9]+)/.*|\1|' <<<"$url")
page_up "$port" || fail "the page at $url does not load"

# A bad file: refused with line and column; the running service keeps its settings.
pid=$(sed -n 's/^pid //p' "$HOME/.tarvel/serve.lock")
printf 'notify = false\nhttp = "127.0.0.1:8787\n' >"$HOME/.config/tarvel/config.toml"
tarvel restart >/dev/null 2>"$work/bad.err" && fail "tarvel restart took a bad file"
grep -q "config.toml:2:" "$work/bad.err" || fail "no line and column: $(cat "$work/bad.err")"
printf 'notify = false\ncolour = "red"\n' >"$HOME/.config/tarvel/config.toml"
tarvel serve >/dev/null 2>"$work/unknown.err" && fail "tarvel serve took an unknown key"
grep -q 'config.toml:2:1: unknown setting "colour"' "$work/unknown.err" ||
  fail "unknown key: $(cat "$work/unknown.err")"
[ "$(sed -n 's/^pid //p' "$HOME/.tarvel/serve.lock")" = "$pid" ] ||
  fail "the running service was replaced after a bad file"
tarvel web --no-open >/dev/null || fail "the running service lost its page after a bad file"
# The address as QR codes, on the terminal and as an image: both read back as the address printed,
# with word that a phone cannot reach a page served to this machine only.
command -v zbarimg >/dev/null 2>&1 || fail "zbarimg (zbar-tools) is needed to read the codes back"
tarvel web --qr --qr-png "$work/page.png" >"$work/qr.out" 2>&1 || fail "tarvel web --qr: $(cat "$work/qr.out")"
printed=$(head -1 "$work/qr.out")
[[ $printed == http://127.0.0.1:*/#token=* ]] || fail "tarvel web --qr printed: $printed"
[ "$(zbarimg -q --raw "$work/page.png")" = "$printed" ] || fail "the PNG code does not read as $printed"
python3 - "$work/qr.out" "$work/drawn.pgm" <<'PY' || fail "the terminal code has no drawing"
import sys
# Each character is two modules, top and bottom, dark where the half block is drawn.
halves = {"\u2588": (1, 1), "\u2580": (1, 0), "\u2584": (0, 1), " ": (0, 0)}
rows = []
for line in open(sys.argv[1], encoding="utf-8"):
    if "\x1b[30;107m" not in line:
        continue
    drawn = line.split("\x1b[30;107m", 1)[1].split("\x1b[0m", 1)[0]
    rows.append([halves[c][0] for c in drawn])
    rows.append([halves[c][1] for c in drawn])
if not rows:
    sys.exit(1)
scale = 6
width, height = len(rows[0]) * scale, len(rows) * scale
pixels = bytearray()
for row in rows:
    line = bytearray()
    for dark in row:
        line += bytes([0 if dark else 255]) * scale
    pixels += bytes(line) * scale
with open(sys.argv[2], "wb") as image:
    image.write(b"P5 %d %d 255\n" % (width, height) + bytes(pixels))
PY
[ "$(zbarimg -q --raw "$work/drawn.pgm")" = "$printed" ] || fail "the terminal code does not read as $printed"
grep -q "a phone cannot open this address" "$work/qr.out" || fail "no word about the phone: $(cat "$work/qr.out")"
[ "$(stat -c %a "$work/page.png")" = 600 ] || fail "the image with the token is readable by others"
# An address no service could listen at: refused when set, and restart keeps the running one.
printf 'notify = false\n' >"$HOME/.config/tarvel/config.toml"
tarvel config set http 192.0.2.1:8787 >/dev/null 2>"$work/far.err" && fail "config set took another machine's address"
grep -q "cannot listen at 192.0.2.1:8787" "$work/far.err" || fail "config set said: $(cat "$work/far.err")"
printf 'http = "192.0.2.1:8787"\n' >>"$HOME/.config/tarvel/config.toml"
tarvel restart >/dev/null 2>"$work/far-restart.err" && fail "tarvel restart took an address it cannot listen at"
grep -q "was left as it is" "$work/far-restart.err" || fail "restart said: $(cat "$work/far-restart.err")"
[ "$(sed -n 's/^pid //p' "$HOME/.tarvel/serve.lock")" = "$pid" ] ||
  fail "the running service was stopped for an address that cannot work"
page_up "$port" || fail "the running service lost its page to an address that cannot work"
# The port the running service holds itself is no obstacle.
printf 'notify = false\nhttp = "127.0.0.1:%s"\n' "$port" >"$HOME/.config/tarvel/config.toml"
tarvel restart >"$work/same.out" 2>&1 || fail "restart on the service's own port failed: $(cat "$work/same.out")"
eventually page_up "$port" || fail "the restarted service does not serve its page"
pid=$(sed -n 's/^pid //p' "$HOME/.tarvel/serve.lock")

# A directory where the file should be: every start says so, the island too.
tarvel stop >/dev/null || fail "tarvel stop failed"
mv "$HOME/.config/tarvel/config.toml" "$work/config.toml"
mkdir "$HOME/.config/tarvel/config.toml"
"${tmux[@]}" new-session -d -s broken -x 100 -y 30 "env HOME='$HOME' '$bin/tarvel-island' 2>'$work/island-broken.err'; sleep 60" ||
  fail "tmux did not start"
eventually grep -q "did not start: .*config.toml is not a regular file" "$work/island-broken.err" ||
  fail "the island said: $(cat "$work/island-broken.err")"
"${tmux[@]}" kill-session -t broken
rmdir "$HOME/.config/tarvel/config.toml"
mv "$work/config.toml" "$HOME/.config/tarvel/config.toml"
tarvel restart >/dev/null 2>&1 || fail "restart after the directory went failed"
eventually page_up "$port" || fail "the service does not serve its page again"
pid=$(sed -n 's/^pid //p' "$HOME/.tarvel/serve.lock")

# tarvel stop: nothing of the service remains.
tarvel stop >"$work/stop.out" || fail "tarvel stop failed"
grep -q "process $pid" "$work/stop.out" || fail "stop said: $(cat "$work/stop.out")"
left=$(cd "$HOME/.tarvel" && ls -A | grep -E '\.lock$|\.sock$')
[ -z "$left" ] || fail "tarvel stop left: $left"

# TLS: with a certificate and its key the page is served over HTTPS alone; files that cannot
# work are refused before anything starts, each named with what is wrong with it.
make_certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$work/$1-key.pem" -out "$work/$1-cert.pem" 2>/dev/null
}
make_certificate mine && make_certificate other || fail "openssl could not make a certificate"
printf 'not a certificate\n' >"$work/plain.pem"
tls_refused() {  # expected text, then tarvel serve's TLS options
  local expected=$1
  shift
  tarvel serve --no-notify --http "127.0.0.1:$(free_port)" "$@" >/dev/null 2>"$work/tls.err" &&
    fail "tarvel serve $* was taken"
  grep -qF "$expected" "$work/tls.err" || fail "tarvel serve $* said: $(cat "$work/tls.err")"
}
tls_refused "$work/missing.pem: there is no such file" --tls-cert "$work/missing.pem" --tls-key "$work/mine-key.pem"
tls_refused "$work/plain.pem: not a certificate in PEM form" --tls-cert "$work/plain.pem" --tls-key "$work/mine-key.pem"
tls_refused "$work/mine-cert.pem: not a private key in PEM form" --tls-cert "$work/mine-cert.pem" --tls-key "$work/mine-cert.pem"
tls_refused "$work/other-key.pem: not the key of the certificate in $work/mine-cert.pem" \
  --tls-cert "$work/mine-cert.pem" --tls-key "$work/other-key.pem"
tls_refused "both the certificate and its key" --tls-cert "$work/mine-cert.pem"
not_running || fail "a refused TLS setting left a service running"
tarvel config set tls_cert mine-cert.pem >/dev/null 2>"$work/relative.err" && fail "config set took a relative path"
grep -q "tls_cert takes the absolute path of a file" "$work/relative.err" || fail "config set said: $(cat "$work/relative.err")"
tls_port=$(free_port)
tarvel config set tls_cert "$work/mine-cert.pem" >/dev/null 2>&1 || fail "config set tls_cert failed"
tarvel config set tls_key "$work/mine-key.pem" >/dev/null 2>&1 || fail "config set tls_key failed"
tarvel config set http "127.0.0.1:$tls_port" >/dev/null 2>&1 || fail "config set http failed"
"$bin/tarvel" serve 2>"$work/tls-serve.log" &
by_hand=$!
secure_health() {
  curl -sf -m 10 --cacert "$work/mine-cert.pem" -H "Authorization: Bearer $(cat "$HOME/.tarvel/token")" \
    "https://127.0.0.1:$tls_port/v1/health"
}
eventually secure_health || fail "the page is not served over TLS: $(cat "$work/tls-serve.log")"
[[ $(tarvel web --no-open) == "https://127.0.0.1:$tls_port/#token="* ]] ||
  fail "tarvel web printed $(tarvel web --no-open)"
curl -s -m 10 -o /dev/null "http://127.0.0.1:$tls_port/v1/health" &&
  fail "plain HTTP was answered on the TLS port"
kill "$by_hand"
wait "$by_hand" 2>/dev/null
by_hand=""

# The island starts the service with the same settings, and says who started it.
port=$(free_port)
printf '# mine\nhttp = "%s"\nnotify = false\n' "127.0.0.1:$port" >"$HOME/.config/tarvel/config.toml"
"${tmux[@]}" new-session -d -s island -x 100 -y 30 "env HOME='$HOME' '$bin/tarvel-island'" ||
  fail "tmux did not start"
eventually page_up "$port" || fail "the service started by tarvel-island does not serve the configured page"
grep -q '^started by tarvel-island$' "$HOME/.tarvel/serve.lock" || fail "the lock file says: $(cat "$HOME/.tarvel/serve.lock")"
"${tmux[@]}" kill-server
tarvel stop >/dev/null || fail "tarvel stop of the island's service failed"
eventually not_running || fail "the island's service still runs"
# A service that the systemd user unit runs is stopped and restarted through systemctl. Here a
# stand-in systemctl records its calls and does what the unit would: end the service, start it.
unit="by the systemd user unit tarvel.service"
mkdir -p "$work/unit-bin"
cat >"$work/unit-bin/systemctl" <<UNIT
#!/usr/bin/env bash
echo "\$*" >>"$work/systemctl.calls"
[ "\$*" = "--user stop tarvel.service" ] || [ "\$*" = "--user restart tarvel.service" ] || exit 1
kill "\$(sed -n 's/^pid //p' "$HOME/.tarvel/serve.lock")"
for _ in \$(seq 300); do [ -e "$HOME/.tarvel/serve.lock" ] || break; sleep 0.1; done
if [ "\$2" = restart ]; then
  TARVEL_STARTED_BY="${unit#by }" setsid "$bin/tarvel" serve >/dev/null 2>&1 </dev/null &
fi
exit 0
UNIT
chmod +x "$work/unit-bin/systemctl"
unit_tarvel() { PATH="$work/unit-bin:$PATH" "$bin/tarvel" "$@"; }
TARVEL_STARTED_BY="${unit#by }" setsid "$bin/tarvel" serve >/dev/null 2>&1 </dev/null &
eventually running || fail "the unit's stand-in service did not start"
grep -q "^started $unit\$" "$HOME/.tarvel/serve.lock" || fail "the lock file says: $(cat "$HOME/.tarvel/serve.lock")"
unit_tarvel restart --no-notify >/dev/null 2>"$work/unit-options.err" &&
  fail "restart with options went past the unit"
grep -q "put them in the configuration" "$work/unit-options.err" ||
  fail "restart with options said: $(cat "$work/unit-options.err")"
unit_tarvel restart >"$work/unit-restart.out" 2>&1 || fail "restart through the unit failed: $(cat "$work/unit-restart.out")"
grep -q "started $unit" "$work/unit-restart.out" || fail "restart said: $(cat "$work/unit-restart.out")"
unit_tarvel stop >"$work/unit-stop.out" 2>&1 || fail "stop through the unit failed: $(cat "$work/unit-stop.out")"
grep -q "started $unit" "$work/unit-stop.out" || fail "stop said: $(cat "$work/unit-stop.out")"
not_running || fail "the unit's service still runs after tarvel stop"
[ "$(cat "$work/systemctl.calls")" = $'--user restart tarvel.service\n--user stop tarvel.service' ] ||
  fail "systemctl was called as: $(cat "$work/systemctl.calls")"
echo "PASS: service control"
