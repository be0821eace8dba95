#!/usr/bin/env bash
# The packages as their users meet them (README: Packages), as root on a
# machine without corvupdater; what it makes is undone on every way out.
#   bash tests/package/run.sh NATIVE-BIN-DIR(CorvSim) WINE-PREFIX(made when missing)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -eq 2 ] || { echo "usage: $0 NATIVE-BIN-DIR WINE-PREFIX" >&2; exit 2; }
native=$(cd "$1" && pwd)
prefix=$(mkdir -p "$2" && cd "$2" && pwd)
start=$SECONDS
say() { echo "package: $*"; }
fail() { echo "package: FAIL: $*" >&2; exit 1; }
absent() { for p; do [ ! -e "$p" ] && [ ! -L "$p" ] || return 1; done; }
[ "$(id -u)" = 0 ] || fail "needs root (dpkg -i, useradd)"
[ -x "$native/CorvSim" ] || fail "$native/CorvSim is not built"
# By Debian package: dpkg-shlibdeps names the .deb's libraries, useradd and
# userdel (passwd), setpriv runs a command as a user without a login.
need=()
for pair in dpkg-shlibdeps:dpkg-dev lintian:lintian useradd:passwd setpriv:util-linux unzip:unzip; do
  command -v "${pair%%:*}" >/dev/null || need+=("${pair#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  say "installing: ${need[*]}" && apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi
# It installs and purges the package: a machine that has it, or its folders,
# or the users' names, is not the test's to change.
! dpkg -s corvupdater >/dev/null 2>&1 || fail "corvupdater is installed here; not touching it"
absent /opt/corvanta /var/lib/corvanta /usr/bin/CorvUpdater || fail "/opt/corvanta, /var/lib/corvanta or /usr/bin/CorvUpdater is here; not touching it"
member=corvdial$$ outsider=corvplain$$
for u in "$member" "$outsider"; do ! getent passwd "$u" >/dev/null && ! getent group "$u" >/dev/null || fail "$u exists"; done
accounts=(/etc/passwd /etc/group /etc/shadow /etc/gshadow /etc/subuid /etc/subgid)
accounts_before=$(cat "${accounts[@]}" 2>/dev/null | md5sum)
wine_link_before=$(readlink "$prefix/corvanta" 2>/dev/null || true)
work=$(mktemp -d /tmp/corv-package-XXXXXX)
sims=() users=() installed='' wine_touched=''
finish() {
  local status=$? p
  for p in "${sims[@]}"; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  [ -z "$installed" ] || dpkg --purge corvupdater >/dev/null 2>&1 || true
  for p in "${users[@]}"; do userdel "$p" 2>/dev/null || true; done
  if [ -n "$wine_touched" ]; then
    WINEPREFIX=$prefix WINEDEBUG=-all wine reg delete 'HKLM\SOFTWARE\Oxlerand\Corvanta' /v CommPort /f </dev/null >/dev/null 2>&1 || true
    if [ -n "$wine_link_before" ]; then ln -sfn "$wine_link_before" "$prefix/corvanta"; else rm -f "$prefix/corvanta"; fi
  fi
  rm -rf "$work"
  echo "Package stage: $((SECONDS - start)) s"
  exit "$status"
}
trap finish EXIT; trap 'exit 130' INT TERM
# start_sim FOLDER: a CorvSim unit (default profile: a Display at 4.90) on
# COM1 of its own machine folder; sets $sim_pty.
start_sim() {
  mkdir -p "$1"
  CORVANTAROOT=$1 "$native/CorvSim" --state "$1/unit-state.txt" COM1 >"$1/sim.out" 2>&1 &
  sims+=($!)
  for _ in $(seq 100); do grep -q '^ready' "$1/sim.out" && break; sleep 0.1; done
  grep -q '^ready' "$1/sim.out" || fail "CorvSim did not start: $(cat "$1/sim.out")"
  sim_pty=$(readlink "$1/com1")
}
# unit_version FOLDER PID: the version line of the state CorvSim writes on USR2.
unit_version() {
  rm -f "$1/unit-state.txt"
  kill -USR2 "$2"
  for _ in $(seq 100); do [ -s "$1/unit-state.txt" ] && break; sleep 0.1; done
  grep '^version=' "$1/unit-state.txt"
}
# run NAME COMMAND...: its output in $work/NAME.out, shown; its status in $status.
run() {
  status=0
  "${@:2}" >"$work/$1.out" 2>&1 </dev/null || status=$?
  tr -d '\r' <"$work/$1.out" | sed "s/^/  $1: /"
}
# as_user USER COMMAND...: from /, with the clean environment of a login (no
# CORVANTAROOT: the machine folder is /var/lib/corvanta).
as_user() {
  (cd / && timeout 300 setpriv --reuid="$1" --regid="$(id -g "$1")" --init-groups \
     env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/nonexistent LOGNAME="$1" USER="$1" "${@:2}")
}

(cd "$top" && cmake --workflow --preset package) >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; fail "cmake --workflow --preset package"; }
deb=$(ls "$top"/build-package/corvupdater_*_amd64.deb)
zip=$(ls "$top"/build-package/CorvUpdater-*-win64.zip)
for f in "$deb" "$zip"; do say "$(basename "$f") $(stat -c %s "$f") bytes"; done
lintian --show-overrides "$deb" >"$work/lintian.out" 2>&1 || true
grep -v '^N:\|running with root privileges' "$work/lintian.out" | sed 's/^/  /' || true
count() { grep -c "^$1:" "$work/lintian.out" || true; }
say "lintian: $(count E) errors, $(count W) warnings, $(count I) info, $(count O) overridden"
[ "$(count E)" = 0 ] || fail "lintian reports errors"

installed=yes
dpkg -i "$deb" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -i"; }
[ "$(readlink /usr/bin/CorvUpdater)" = /opt/corvanta/current/bin/CorvUpdater ] || fail "/usr/bin/CorvUpdater is not the link"
[ "$(stat -c '%U:%G %a' /opt/corvanta/current/bin/LogFiles /var/lib/corvanta)" = $'root:dialout 2775\nroot:dialout 2775' ] ||
  fail "LogFiles or /var/lib/corvanta is not root:dialout 2775"
zcat /usr/share/man/man1/CorvUpdater.1.gz | grep -qx '.SH EXIT STATUS' || fail "no manual page CorvUpdater(1)"
say "installed: $(dpkg-query -W -f '${Package} ${Version}, Depends: ${Depends}' corvupdater)"
users=("$member" "$outsider")
useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --groups dialout "$member"
useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$outsider"

# The unit's pty as udev gives a serial device (group dialout, mode 660, where
# a pty's slave is its owner's, group tty, 620), linked as an adapter is.
start_sim "$work/unit"
sim=${sims[-1]}
chown :dialout "$sim_pty" && chmod 660 "$sim_pty"
ln -s "$sim_pty" /var/lib/corvanta/com1

snapshot() { find /opt/corvanta /var/lib/corvanta -printf '%p %u %g %m %s\n' | sort; }
before=$(snapshot)
run "$outsider" as_user "$outsider" CorvUpdater -y COM1
[ "$status" = 1 ] || fail "a user outside dialout ends with $status, not 1"
grep -qx 'Fatal Error: Cannot create log file in /opt/corvanta/current/bin/LogFiles: Permission denied' \
  "$work/$outsider.out" || fail "a user outside dialout is not told why"
[ "$(snapshot)" = "$before" ] || fail "a user outside dialout left something in /opt/corvanta or /var/lib/corvanta"
[ -z "$(find /opt /var /tmp /dev/shm -xdev -user "$outsider" 2>/dev/null)" ] || fail "a user outside dialout left files"
[ "$(unit_version "$work/unit" "$sim")" = version=490 ] || fail "a user outside dialout changed the unit"

run "$member" as_user "$member" CorvUpdater -y COM1
[ "$status" = 0 ] || fail "the installed run ends with $status"
grep -qx 'Success: all operations are complete' "$work/$member.out" || fail "no success line"
[ "$(unit_version "$work/unit" "$sim")" = version=510 ] || fail "the unit is not at 5.10"
log=$(sed -n 's/^LogFile = //p' "$work/$member.out")
case $log in /opt/corvanta/current/bin/LogFiles/*.log) ;; *) fail "the log is at '$log'" ;; esac
[ "$(stat -c %U:%G "$log")" = "$member:dialout" ] || fail "$log is $(stat -c %U:%G "$log")"
grep -q 'Success: all operations are complete' "$log" || fail "$log lacks the success line"
saved=$(tr -d '\r' </var/lib/corvanta/registry.reg | grep CommPort || true)
[ "$saved" = '"CommPort"="1"' ] || fail "registry.reg holds '$saved'"
say "log $log; registry.reg: $saved"

dpkg --remove corvupdater >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg --remove"; }
absent /opt/corvanta/current/bin/CorvUpdater /usr/bin/CorvUpdater || fail "removing left the program"
[ -f "$log" ] && [ -f /var/lib/corvanta/registry.reg ] || fail "removing took the logs or the machine folder"
dpkg --purge corvupdater >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg --purge"; }
installed=
absent /opt/corvanta /var/lib/corvanta /usr/bin/CorvUpdater || fail "purging left some of them"
userdel "$member" && userdel "$outsider" && users=()
[ "$(cat "${accounts[@]}" 2>/dev/null | md5sum)" = "$accounts_before" ] || fail "the account files differ after userdel"
say "removed, purged: /opt/corvanta, /var/lib/corvanta, /usr/bin/CorvUpdater and both users gone"

[ -f "$prefix/.prepared" ] || [ -f "$prefix/system.reg" ] || bash "$top/tests/wine/prepare.sh" "$prefix"
unzip -q "$zip" -d "$work/zip" && exe=$(ls "$work"/zip/CorvUpdater-*-win64/CorvUpdater.exe)
readme=$(dirname "$exe")/README.txt
[ -s "$readme" ] && ! grep -q $'[^\r]$\|^$' "$readme" || fail "README.txt does not end every line in CR LF"
start_sim "$work/wine-unit"
wine_touched=yes
ln -sfn "$work/wine-unit" "$prefix/corvanta"
# Into a file, not a pipe: Wine's service processes keep their output open.
run wine env WINEPREFIX="$prefix" WINEDEBUG=-all timeout 300 wine "$exe" -y COM1
[ "$status" = 0 ] || fail "CorvUpdater.exe under Wine ends with $status"
grep -q '^Success: all operations are complete' "$work/wine.out" || fail "no success line under Wine"
[ "$(unit_version "$work/wine-unit" "${sims[-1]}")" = version=510 ] || fail "the Wine run left the unit below 5.10"
ls "$(dirname "$exe")"/LogFiles/*.log >/dev/null || fail "no log beside CorvUpdater.exe"
say "all checks passed"
