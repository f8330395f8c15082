#!/bin/bash
# Checks Codex thread titles against the real Codex program: installs the npm package
# @openai/codex into build/integration/, creates and names a thread in a temporary Codex home,
# then reads its title through CodexMetadataReader (and tarvel-monitor, when it is built).
# Usage: Tests/Integration/codex-titles.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
prefix=${CODEX_INTEGRATION_PREFIX:-$root/build/integration}
codex=$prefix/node_modules/.bin/codex

if [ ! -x "$codex" ]; then
  echo "Installing @openai/codex into $prefix"
  mkdir -p "$prefix"
  npm install --prefix "$prefix" --no-audit --no-fund --silent @openai/codex
fi
"$codex" --version

home=$(mktemp -d /tmp/tarvel-codex-home.XXXXXX)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.codex"
export HOME=$home CODEX_HOME=$home/.codex
name="Integration title ✓"
thread=$(cd "$home" && node "$root/Tests/Integration/create-codex-thread.mjs" "$codex" "$name")
echo "Created thread $thread"

CODEX_EXECUTABLE=$codex CODEX_THREAD_ID=$thread CODEX_THREAD_NAME=$name \
  "$build/bin/QuoyaCodexIntegrationTests"

if [ -x "$build/bin/tarvel-monitor" ] && "$build/bin/tarvel-monitor" --help 2>&1 | grep -q codex-titles; then
  expected="{\"$thread\":\"$name\"}"
  actual=$("$build/bin/tarvel-monitor" --codex-titles --codex "$codex" "$thread" \
    00000000-0000-4000-8000-000000000000)
  if [ "$actual" != "$expected" ]; then
    echo "tarvel-monitor --codex-titles printed $actual, expected $expected" >&2
    exit 1
  fi
  echo "tarvel-monitor --codex-titles: $actual"
fi
echo "integration: 1 passed, 0 failed"
