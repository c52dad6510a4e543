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
  rm -f /etc/zentok/pkgtest.ini
  rm -rf "$out"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

echo "== cpack"
(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out") >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; fail "cpack"; }
deb=$(ls "$out"/zentok_*.deb)

echo "== lintian $(basename "$deb")"
# Each warning kept is overridden, with its reason, in packaging/lintian-overrides.
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"

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

echo "== units"
units="$out/units"
dpkg-deb -x "$deb" "$units"
for unit in zentok.service zentok@.service; do
  file="$units/lib/systemd/system/$unit"
  grep -qxF 'ExecReload=/bin/kill -HUP $MAINPID' "$file" || fail "$unit: no reload"
  grep -q '^LogsDirectory=zentok' "$file" || fail "$unit: no logs directory"
  grep -qxF 'RuntimeDirectoryMode=0755' "$file" || fail "$unit: no runtime directory node-exporter can read"
done
# The plain unit and an instance follow one another only when neither's
# directories lie below the other's.
template="$units/lib/systemd/system/zentok@.service"
for own in StateDirectory=zentok-%i LogsDirectory=zentok-%i WorkingDirectory=/var/lib/zentok-%i; do
  grep -qxF "$own" "$template" || fail "zentok@.service: no $own"
done

echo "== dpkg -i"
installed=1
dpkg -i "$deb" >/dev/null || fail "dpkg -i"
/usr/bin/zentok --check -i /etc/zentok/zentok.ini || fail "the installed configuration does not load"
# node-exporter reads the metrics file as a user of its own: written under the
# units' umask, it is still readable by another user.
chmod 711 "$out"
metrics="$out/metrics"
mkdir -m 755 "$metrics"
printf 'coupler;runmode;single\ncoupler;metrics;%s/zentok.prom\nsource;s\nadr;modbus;tcp:127.0.0.1:1\nnode;a;400001;x;g;O:1\n' \
  "$metrics" >"$metrics/zentok.ini"
(cd "$metrics" && umask 077 && timeout 60 /usr/bin/zentok -i zentok.ini >/dev/null) || fail "a single run with metrics"
setpriv --reuid=65534 --regid=65534 --clear-groups cat "$metrics/zentok.prom" | grep -q '^zentok_up ' ||
  fail "another user cannot read the metrics file"
man -w zentok >/dev/null || fail "man -w zentok"
man -w 5 zentok.ini >/dev/null || fail "man -w 5 zentok.ini"
# The pages' troff sources, where words are never hyphenated, without the
# break points the paths carry.
src8=$(zcat "$(man -w 8 zentok)" | sed 's/\\://g')
src5=$(zcat "$(man -w 5 zentok.ini)" | sed 's/\\://g')
for word in webhook ntfy zentok_outbox.csv SIGHUP /var/log/zentok; do
  grep -qF "$word" <<<"$src8" || fail "zentok(8) does not mention $word"
done
example=$(MANWIDTH=200 man -P cat 5 zentok.ini 2>/dev/null | sed -n '/^EXAMPLE/,/^SEE ALSO/p')
for line in "$(head -n 1 /etc/zentok/zentok.ini)" "$(tail -n 1 /etc/zentok/zentok.ini)"; do
  grep -qF "$line" <<<"$example" || fail "zentok.ini(5) has not the whole example configuration as its EXAMPLE"
done
# Every document the pages point to is there on the installed system.
docs=$(grep -ohE '[[:alnum:]/._-]*\.md' <<<"$src8"$'\n'"$src5" | sort -u)
for doc in $docs; do
  case $doc in
    /*) [[ -f $doc ]] || fail "a man page points to $doc, which is not installed" ;;
    configuration.md | conditions.md | outbox.md | mail.md | webhook.md | channels.md | fleet.md | alarms.md | \
      operating.md | packaging.md | monitoring.md) # SEE ALSO names them in their directory
      [[ -f /usr/share/doc/zentok/docs/$doc ]] || fail "$doc is not installed" ;;
    *) fail "a man page points to $doc, a path of the source tree" ;;
  esac
done
grep -qF "remindmax=COUNT" <<<"$src5" || fail "zentok.ini(5) does not have the alarm line's settings"
for unit in zentok.service zentok@.service; do
  systemd-analyze security --offline=yes --threshold=20 "/lib/systemd/system/$unit" | tail -n 1 ||
    fail "$unit scores over 2.0"
done

echo "== the units check the file before a start and a reload"
# A unit's ExecStartPre= or ExecReload= lines as systemd runs them (instance pkgtest, an
# unprivileged user); prints the first failing status, 0 when all ran.
run_lines() {
  local line
  while IFS= read -r line; do
    line=${line#*=} line=${line//%i/pkgtest} line=${line//\$MAINPID/$3}
    # shellcheck disable=SC2086
    (cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups $line) >/dev/null 2>&1 || { echo $?; return; }
  done < <(grep "^$2=" "/lib/systemd/system/$1")
  echo 0
}
cp /etc/zentok/zentok.ini "$out/zentok.ini"
# Lines added, mode, the start check's status, how the main process's stand-in ended (129:
# by the reload's SIGHUP): as installed; a skipped line and a warning; an error; unreadable.
added=("" $'node;a;4x0001;typo;g;N\nreceiver;idle' "coupler;runmode;daily" "") modes=(644 644 644 600)
starts=(0 0 78 1) ends=(129 129 143 143)
for unit in zentok.service zentok@.service; do
  config=/etc/zentok/pkgtest.ini
  [[ $unit == zentok@.service ]] || config=/etc/zentok/zentok.ini
  for i in "${!added[@]}"; do
    { cat "$out/zentok.ini"; printf '%s\n' "${added[i]}"; } >"$config"
    chmod "${modes[i]}" "$config"
    setpriv --reuid=nobody --regid=nogroup --clear-groups sleep 60 &
    standin=$! ended=0
    started=$(run_lines "$unit" ExecStartPre 0)
    run_lines "$unit" ExecReload $standin >/dev/null
    sleep 0.2
    kill $standin 2>/dev/null || true
    wait $standin 2>/dev/null || ended=$?
    [[ $started/$ended == "${starts[i]}/${ends[i]}" ]] ||
      fail "$unit, mode ${modes[i]}, added '${added[i]}': start check $started, main process ended $ended"
  done
done 2>/dev/null # the shell's note that the stand-in was ended by a signal
cp "$out/zentok.ini" /etc/zentok/zentok.ini

echo "== the logs directory before the first start"
# systemd makes it at the instance's first start: no warning about it before.
sed 's|^adr;file;alarm_%Y%m.csv|adr;file;/var/log/zentok-pkgtest/a.csv|' "$out/zentok.ini" >/etc/zentok/pkgtest.ini
check=$(/usr/bin/zentok --check -i /etc/zentok/pkgtest.ini; rm /etc/zentok/pkgtest.ini)
grep -qF "loads, 0 warnings" <<<"$check" || fail "a warning about the instance's logs directory: $check"

echo "== bash completion"
# A receiver's name with a blank is offered, and completed, as one word.
printf 'receiver;shift lead\nreceiver;shift-mail\n' >"$out/names.ini"
complete_word() {
  bash -c '. /usr/share/bash-completion/completions/zentok; COMP_WORDS=(zentok test -i "$1" "$2") COMP_CWORD=4
    _zentok; printf "%s\n" "${COMPREPLY[@]}"' _ "$out/names.ini" "$1"
}
[[ $(complete_word "")/$(complete_word 'shift\ l') == $'shift\\ lead\nshift-mail\n-i/shift\\ lead' ]] ||
  fail "completion of the receivers' names"

echo "== maintainer scripts"
# Run in a mount namespace whose systemd, state and log directories are empty
# tmpfs, with stub systemctl and deb-systemd-* that record their calls, so
# the scripts' systemd side can be checked without a running systemd.
control="$out/control"
dpkg-deb -e "$deb" "$control"
stubs="$out/stubs"
mkdir -p "$stubs"
for tool in systemctl deb-systemd-helper deb-systemd-invoke; do
  cat >"$stubs/$tool" <<'STUB'
#!/bin/sh
echo "$(basename "$0") $*" >>"$ZENTOK_STUB_CALLS"
if [ "$(basename "$0") $1" = "systemctl list-units" ]; then
  for unit in $ZENTOK_STUB_ACTIVE; do echo "$unit loaded active running Zentok"; done
fi
exit 0
STUB
  chmod +x "$stubs/$tool"
done
export ZENTOK_CONTROL=$control ZENTOK_STUBS=$stubs ZENTOK_STUB_CALLS="$out/calls"
sandbox() {
  unshare --mount --propagation private bash -euo pipefail -c '
    for dir in /run /etc/systemd/system /etc/zentok /var/lib /var/log; do
      mount -t tmpfs tmpfs "$dir"
    done
    mkdir -p /run/systemd/system
    fail() { echo "FAILED: $*"; exit 1; }
    maint() { : >"$ZENTOK_STUB_CALLS"; PATH="$ZENTOK_STUBS:$PATH" "$ZENTOK_CONTROL/$1" "${@:2}" >/dev/null; }
    called() { grep -qxF "$1" "$ZENTOK_STUB_CALLS"; }
    '"$1" || fail "maintainer scripts"
}

# A first installation reloads the units and starts nothing.
sandbox '
  maint postinst configure ""
  called "systemctl --system daemon-reload" || fail "postinst: no daemon-reload"
  called "deb-systemd-helper update-state zentok.service" || fail "postinst: enablement not recorded"
  ! grep -q "^deb-systemd-invoke" "$ZENTOK_STUB_CALLS" || fail "postinst started a unit on installation"'

# An upgrade restarts what ran, and an instance keeps its states and outbox.
sandbox '
  mkdir -p /var/lib/private/zentok/press1 /var/lib/zentok
  ln -s ../private/zentok/press1 /var/lib/zentok/press1
  echo plain >/var/lib/private/zentok/zentok_states.csv
  echo press1 >/var/lib/private/zentok/press1/zentok_outbox.csv
  touch /etc/zentok/press1.ini
  ZENTOK_STUB_ACTIVE="zentok.service zentok@press1.service" maint postinst configure 0.9.0
  [[ $(cat /var/lib/private/zentok-press1/zentok_outbox.csv) == press1 ]] || fail "instance state not moved"
  [[ -f /var/lib/private/zentok/zentok_states.csv ]] || fail "the plain unit lost its state"
  [[ ! -e /var/lib/zentok && ! -L /var/lib/zentok ]] || fail "the old instance link is left in the plain unit'"'"'s way"
  called "deb-systemd-invoke stop zentok@press1.service" || fail "instance not stopped before its state moved"
  called "deb-systemd-invoke restart zentok.service zentok@press1.service" ||
    fail "postinst does not restart the running units on upgrade"'

# A purge removes state, logs and the links that enabled the units.
sandbox '
  wants=/etc/systemd/system/multi-user.target.wants
  mkdir -p "$wants" /var/lib/private/zentok /var/lib/private/zentok-press1 /var/log/private/zentok
  ln -s /lib/systemd/system/zentok.service "$wants/zentok.service"
  ln -s /lib/systemd/system/zentok@.service "$wants/zentok@press1.service"
  ln -s /lib/systemd/system/other.service "$wants/other.service"
  ln -s private/zentok-press1 /var/lib/zentok-press1
  ln -s private/zentok /var/log/zentok
  maint postrm purge
  called "deb-systemd-helper purge zentok.service" || fail "postrm: deb-systemd-helper purge not called"
  for left in "$wants/zentok.service" "$wants/zentok@press1.service" /var/lib/private/zentok \
    /var/lib/private/zentok-press1 /var/lib/zentok-press1 /var/log/private/zentok /var/log/zentok; do
    [[ ! -e $left && ! -L $left ]] || fail "$left is left after the purge"
  done
  [[ -L $wants/other.service ]] || fail "the purge removed another unit'"'"'s link"'

echo "== dpkg --purge"
dpkg --purge zentok >/dev/null || fail "dpkg --purge"
installed=0
for left in /usr/bin/zentok /etc/zentok /lib/systemd/system/zentok.service /usr/share/doc/zentok; do
  [[ ! -e $left ]] || fail "$left is left after the purge"
done
echo "package test passed"
