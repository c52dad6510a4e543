#!/usr/bin/env bash
# The Debian package end to end: builds it, runs lintian, checks its files,
# installs it with dpkg, checks the installed configuration, man pages and
# unit, and purges it again. Needs root; skipped (77) when a zentok package
# is installed already, so an operator's installation is never touched.
set -euo pipefail
build=${1:?build directory}

if [[ $(id -u) -ne 0 ]]; then echo "skipped: dpkg -i needs root"; exit 77; fi
if dpkg-query -W -f='${Status}' zentok 2>/dev/null | grep -q 'ok installed'; then
  echo "skipped: a zentok package is installed already"
  exit 77
fi

out=$(mktemp -d /tmp/zentok-package-XXXXXX)
installed=0
cleanup() {
  if ((installed)); then dpkg --purge zentok >/dev/null 2>&1 || true; fi
  rm -rf "$out"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

echo "== cpack"
(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out") >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; fail "cpack"; }
deb=$(ls "$out"/zentok_*.deb)

echo "== lintian $(basename "$deb")"
lintian --fail-on error "$deb" || fail "lintian reports errors"

echo "== file list"
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/zentok ./lib/systemd/system/zentok.service ./lib/systemd/system/zentok@.service \
  ./etc/zentok/zentok.ini ./usr/share/man/man8/zentok.8.gz ./usr/share/man/man5/zentok.ini.5.gz \
  ./usr/share/doc/zentok/README.md ./usr/share/doc/zentok/copyright ./usr/share/doc/zentok/changelog.gz \
  ./usr/share/doc/zentok/docs/configuration.md ./usr/share/doc/zentok/docs/packaging.md; do
  grep -qxF "$f" <<<"$files" || fail "$f is not in the package"
done
dpkg-deb -f "$deb" Depends | grep -q 'libcurl' || fail "no shared-library dependencies"
dpkg-deb -I "$deb" conffiles | grep -qxF /etc/zentok/zentok.ini || fail "zentok.ini is no conffile"

echo "== dpkg -i"
installed=1
dpkg -i "$deb" >/dev/null || fail "dpkg -i"
/usr/bin/zentok --check -i /etc/zentok/zentok.ini || fail "the installed configuration does not load"
man -w zentok >/dev/null || fail "man -w zentok"
man -w 5 zentok.ini >/dev/null || fail "man -w 5 zentok.ini"
# The pages' troff sources, where words are never hyphenated, without the
# break points the paths carry.
src8=$(zcat "$(man -w 8 zentok)" | sed 's/\\://g')
src5=$(zcat "$(man -w 5 zentok.ini)" | sed 's/\\://g')
for word in webhook ntfy zentok_outbox.csv SIGHUP /var/log/zentok; do
  grep -qF "$word" <<<"$src8" || fail "zentok(8) does not mention $word"
done
grep -qxF '.SH EXAMPLE' <<<"$src5" || fail "zentok.ini(5) has no example"
example=$(MANWIDTH=200 man -P cat 5 zentok.ini 2>/dev/null | sed -n '/^EXAMPLE/,/^SEE ALSO/p')
for line in "$(head -n 1 /etc/zentok/zentok.ini)" "$(tail -n 1 /etc/zentok/zentok.ini)"; do
  grep -qF "$line" <<<"$example" || fail "zentok.ini(5)'s example is not the whole example configuration"
done
# Every document the pages point to is there on the installed system.
docs=$(grep -ohE '[[:alnum:]/._-]*\.md' <<<"$src8"$'\n'"$src5" | sort -u)
for doc in $docs; do
  case $doc in
    /*) [[ -f $doc ]] || fail "a man page points to $doc, which is not installed" ;;
    configuration.md | conditions.md | outbox.md | mail.md | webhook.md) # SEE ALSO names them in their directory
      [[ -f /usr/share/doc/zentok/docs/$doc ]] || fail "$doc is not installed" ;;
    *) fail "a man page points to $doc, a path of the source tree" ;;
  esac
done
for unit in zentok.service zentok@.service; do
  systemd-analyze security --offline=yes --threshold=20 "/lib/systemd/system/$unit" | tail -n 1 ||
    fail "$unit scores over 2.0"
done

echo "== dpkg --purge"
dpkg --purge zentok >/dev/null || fail "dpkg --purge"
installed=0
for left in /usr/bin/zentok /etc/zentok /lib/systemd/system/zentok.service /usr/share/doc/zentok; do
  [[ ! -e $left ]] || fail "$left is left after the purge"
done
echo "package test passed"
