#!/usr/bin/env bash
# Checks what a user gets: `make install` into a temporary DESTDIR (the files expected, programs
# stripped and runnable, one version everywhere, manual pages that render without warnings, the
# systemd unit pointing at the installed tarvel), `make uninstall` leaving nothing behind, and
# the Debian package from `make package` (its contents, and an install and removal with dpkg in a
# temporary root).
# usage: Tests/Install/install_test.sh   (from the top of the source tree)
set -uo pipefail
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(Tarvel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
programs=(tarvel tarvel-hook tarvel-island tarvel-monitor QuoyaCodexHook)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Programs stripped, runnable and of this version; pages rendered without a warning.
check_tree() { # root of the tree, prefix inside it
  local root=$1 prefix=$2 program page warnings
  for program in "${programs[@]}"; do
    local file="$root$prefix/bin/$program"
    [[ -x $file ]] || { fail "$prefix/bin/$program missing"; continue; }
    readelf -S "$file" | grep -qE '\.symtab|\.debug_' && fail "$program is not stripped"
    [[ $("$file" --version 2>&1) == "$program $version" ]] ||
      fail "$program --version printed '$("$file" --version 2>&1)', not '$program $version'"
    page="$root$prefix/share/man/man1/$program.1.gz"
    if [[ ! -f $page ]]; then
      fail "no manual page for $program"
    else
      warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
      [[ -z $warnings ]] || fail "man $program warns: $warnings"
      LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | grep -q "$version" ||
        fail "man $program does not name version $version"
    fi
  done
  grep -qx "ExecStart=$prefix/bin/tarvel serve" "$root$prefix/lib/systemd/user/tarvel.service" ||
    fail "the systemd unit does not start $prefix/bin/tarvel"
  [[ -f $root$prefix/share/bash-completion/completions/tarvel ]] || fail "no bash completion"
  [[ -n $(find "$root$prefix/share/zsh" -name _tarvel 2>/dev/null) ]] || fail "no zsh completion"
  for document in README.md api.md island-hook.md config.example.toml copyright; do
    [[ -f $root$prefix/share/doc/tarvel/$document ]] || fail "$document not installed"
  done
}

echo "make install DESTDIR=... PREFIX=/opt/tarvel-check"
destdir="$work/destdir"
make --no-print-directory install DESTDIR="$destdir" PREFIX=/opt/tarvel-check >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "make install failed"; }
check_tree "$destdir" /opt/tarvel-check
make --no-print-directory uninstall DESTDIR="$destdir" PREFIX=/opt/tarvel-check >/dev/null ||
  fail "make uninstall failed"
left=$(find "$destdir" -type f -o -type l 2>/dev/null)
[[ -z $left ]] || fail "make uninstall left: $left"
left=$(find "$destdir" -mindepth 1 -type d ! -path "$destdir/opt" 2>/dev/null)
[[ -z $left ]] || fail "make uninstall left folders it created: $left"

echo "make package"
make --no-print-directory package >"$work/package.log" 2>&1 || { cat "$work/package.log"; fail "make package failed"; }
deb=$(ls build/package/tarvel_"$version"_*.deb 2>/dev/null | head -n 1)
if [[ -z $deb ]]; then
  fail "no package tarvel_${version}_*.deb"
else
  contents=$(dpkg -c "$deb")
  for path in /usr/bin/tarvel /usr/bin/tarvel-hook /usr/bin/tarvel-island /usr/share/man/man1/tarvel.1.gz \
    /usr/lib/systemd/user/tarvel.service /usr/share/bash-completion/completions/tarvel \
    /usr/share/zsh/vendor-completions/_tarvel /usr/share/doc/tarvel/README.md; do
    grep -q " \.$path\$" <<<"$contents" || fail "the package lacks $path"
  done
  grep -q '/home\|/tmp\|/build' <<<"$contents" && fail "the package carries build paths"
  dpkg-deb -f "$deb" Depends | grep -q libmicrohttpd || fail "the package does not depend on libmicrohttpd"
  # dpkg itself, in a root of its own: install, run, remove.
  root="$work/root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg=(dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless --log=/dev/null)
  if "${dpkg[@]}" -i "$deb" >"$work/dpkg.log" 2>&1; then
    check_tree "$root" /usr
    "${dpkg[@]}" -r tarvel >>"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.log")"
    left=$(find "$root/usr" -type f 2>/dev/null)
    [[ -z $left ]] || fail "removing the package left: $left"
  else
    fail "dpkg -i failed: $(cat "$work/dpkg.log")"
  fi
fi

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "PASS: the install tree and the package"
