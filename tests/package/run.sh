#!/usr/bin/env bash
# The packages as their users meet them (as root, on a machine without
# corvupdater): makes the .deb and the zip (cmake --workflow --preset package),
# checks the .deb with lintian, installs it, and as an ordinary member of
# dialout runs the installed `CorvUpdater -y COM1` against a CorvSim unit
# linked as /var/lib/corvanta/com1; a user outside dialout is refused and
# leaves nothing; removing keeps the logs and the machine folder, purging
# removes them. Then runs CorvUpdater.exe from the unpacked zip under Wine once.
#   bash tests/package/run.sh NATIVE-BIN-DIR WINE-PREFIX
# NATIVE-BIN-DIR holds CorvSim; WINE-PREFIX is prepared by tests/wine/prepare.sh
# (made when missing). Everything it makes (the package, two users, a temporary
# folder, the prefix's corvanta link and saved port) is undone on every way out.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
if [ $# -ne 2 ]; then
  echo "usage: $0 NATIVE-BIN-DIR WINE-PREFIX" >&2
  exit 2
fi
native=$(cd "$1" && pwd)
mkdir -p "$2"
prefix=$(cd "$2" && pwd)
start=$SECONDS
say() { echo "package: $*"; }
fail() { echo "package: FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root (dpkg -i, useradd)"
[ -x "$native/CorvSim" ] || fail "$native/CorvSim is not built"

# What it needs, by Debian package: dpkg-shlibdeps (dpkg-dev) names the
# libraries the .deb depends on; useradd/userdel (passwd); setpriv runs a
# command as a user without a login (util-linux); unzip unpacks the zip.
need=()
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v lintian >/dev/null || need+=(lintian)
command -v useradd >/dev/null || need+=(passwd)
command -v setpriv >/dev/null || need+=(util-linux)
command -v unzip >/dev/null || need+=(unzip)
if [ ${#need[@]} -gt 0 ]; then
  say "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

# The test installs and purges the package: a machine that has it, or has the
# folders it owns, is not the test's to change.
if dpkg -s corvupdater >/dev/null 2>&1; then fail "corvupdater is installed on this machine; not touching it"; fi
for p in /opt/corvanta /var/lib/corvanta /usr/bin/CorvUpdater; do
  if [ -e "$p" ] || [ -L "$p" ]; then fail "$p exists already; not touching it"; fi
done

work=$(mktemp -d /tmp/corv-package-XXXXXX)
chmod 755 "$work"
member=corvdial$$
outsider=corvplain$$
for u in "$member" "$outsider"; do
  if getent passwd "$u" >/dev/null || getent group "$u" >/dev/null; then fail "user $u exists already"; fi
done
accounts=(/etc/passwd /etc/group /etc/shadow /etc/gshadow /etc/subuid /etc/subgid)
accounts_before=$(cat "${accounts[@]}" 2>/dev/null | md5sum)
wine_link_before=$(readlink "$prefix/corvanta" 2>/dev/null || true)
sims=()
installed=
users=()
wine_touched=
finish() {
  local status=$? p u
  for p in "${sims[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${sims[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "$installed" ]; then dpkg --purge corvupdater >/dev/null 2>&1 || true; fi
  for u in "${users[@]}"; do userdel "$u" 2>/dev/null || true; done
  if [ -n "$wine_touched" ]; then
    export WINEPREFIX=$prefix WINEDEBUG=-all
    wine reg delete 'HKLM\SOFTWARE\Oxlerand\Corvanta' /v CommPort /f </dev/null >/dev/null 2>&1 || true
    if [ -n "$wine_link_before" ]; then ln -sfn "$wine_link_before" "$prefix/corvanta"; else rm -f "$prefix/corvanta"; fi
  fi
  rm -rf "$work"
  echo "Package stage: $((SECONDS - start)) s"
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

# A CorvSim unit with the default profile (a Display at 4.90) on COM1 of its
# own machine folder: start_sim FOLDER; prints nothing, sets $sim_pty.
start_sim() {
  mkdir -p "$1"
  CORVANTAROOT=$1 "$native/CorvSim" --state "$1/unit-state.txt" COM1 >"$1/sim.out" 2>&1 &
  sims+=($!)
  local i
  for i in $(seq 100); do grep -q '^ready' "$1/sim.out" && break; sleep 0.1; done
  grep -q '^ready' "$1/sim.out" || fail "CorvSim did not start: $(cat "$1/sim.out")"
  sim_pty=$(readlink "$1/com1")
}
# The unit's state as CorvSim writes it on SIGUSR2: unit_state FOLDER PID
unit_state() {
  rm -f "$1/unit-state.txt"
  kill -USR2 "$2"
  local i
  for i in $(seq 100); do [ -s "$1/unit-state.txt" ] && break; sleep 0.1; done
  cat "$1/unit-state.txt"
}
# Runs the installed command as USER, with a clean environment as a login
# gives (no CORVANTAROOT: the machine folder is /var/lib/corvanta), from /.
as_user() {
  local u=$1
  shift
  (cd / && timeout 300 setpriv --reuid="$u" --regid="$(id -g "$u")" --init-groups \
     env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/nonexistent LOGNAME="$u" USER="$u" "$@" </dev/null)
}

# --- the packages -----------------------------------------------------------
(cd "$top" && cmake --workflow --preset package) >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; fail "cmake --workflow --preset package"; }
deb=$(ls "$top"/build-package/corvupdater_*_amd64.deb)
zip=$(ls "$top"/build-package/CorvUpdater-*-win64.zip)
for f in "$deb" "$zip"; do say "$(basename "$f") $(stat -c %s "$f") bytes"; done

lintian --show-overrides "$deb" >"$work/lintian.out" 2>&1 || true
grep -v '^N:\|running with root privileges' "$work/lintian.out" | sed 's/^/  /' || true
say "lintian: $(grep -c '^E:' "$work/lintian.out" || true) errors, $(grep -c '^W:' "$work/lintian.out" || true) warnings, $(grep -c '^I:' "$work/lintian.out" || true) info, $(grep -c '^O:' "$work/lintian.out" || true) overridden"
if grep -q '^E:' "$work/lintian.out"; then fail "lintian reports errors"; fi

# --- installed ---------------------------------------------------------------
installed=yes
dpkg -i "$deb" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -i"; }
[ "$(readlink /usr/bin/CorvUpdater)" = /opt/corvanta/current/bin/CorvUpdater ] || fail "/usr/bin/CorvUpdater is not the link"
for d in /opt/corvanta/current/bin/LogFiles /var/lib/corvanta; do
  [ "$(stat -c '%U:%G %a' "$d")" = "root:dialout 2775" ] || fail "$d is $(stat -c '%U:%G %a' "$d"), not root:dialout 2775"
done
zcat /usr/share/man/man1/CorvUpdater.1.gz | grep -qx '.SH EXIT STATUS' || fail "no manual page CorvUpdater(1)"
say "installed: $(dpkg-query -W -f '${Package} ${Version}, Depends: ${Depends}' corvupdater)"

useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --groups dialout "$member"
users+=("$member")
useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$outsider"
users+=("$outsider")

# The unit's port as udev gives a serial device: group dialout, mode 660
# (a pty's slave is the owner's, group tty, 620), linked as COM1 the way an
# administrator links an adapter.
start_sim "$work/unit"
sim=${sims[-1]}
chgrp dialout "$sim_pty"
chmod 660 "$sim_pty"
ln -s "$sim_pty" /var/lib/corvanta/com1

# A user outside dialout: refused before anything is made.
snapshot() { find /opt/corvanta /var/lib/corvanta -printf '%p %u %g %m %s\n' | sort; }
before=$(snapshot)
status=0
as_user "$outsider" CorvUpdater -y COM1 >"$work/outsider.out" 2>&1 || status=$?
sed "s/^/  $outsider: /" "$work/outsider.out"
[ "$status" = 1 ] || fail "a user outside dialout ends with $status, not 1"
grep -qx 'Fatal Error: Cannot create log file in /opt/corvanta/current/bin/LogFiles: Permission denied' \
  "$work/outsider.out" || fail "a user outside dialout is not told why"
[ "$(snapshot)" = "$before" ] || fail "a user outside dialout left something in /opt/corvanta or /var/lib/corvanta"
left=$(find /opt /var /tmp /dev/shm -xdev -user "$outsider" 2>/dev/null | head -5)
[ -z "$left" ] || fail "a user outside dialout left $left"
unit_state "$work/unit" "$sim" | grep -qx 'version=490' || fail "a user outside dialout changed the unit"

# A member of dialout: the update, its log beside the program, the saved port.
status=0
as_user "$member" CorvUpdater -y COM1 >"$work/member.out" 2>&1 || status=$?
sed "s/^/  $member: /" "$work/member.out"
[ "$status" = 0 ] || fail "the installed run ends with $status"
grep -qx 'Success: all operations are complete' "$work/member.out" || fail "no success line"
unit_state "$work/unit" "$sim" | grep -qx 'version=510' || fail "the unit is not at 5.10"
log=$(sed -n 's/^LogFile = //p' "$work/member.out")
case $log in /opt/corvanta/current/bin/LogFiles/*.log) ;; *) fail "the log is at '$log'" ;; esac
[ "$(stat -c %U:%G "$log")" = "$member:dialout" ] || fail "$log is $(stat -c %U:%G "$log")"
grep -q 'Success: all operations are complete' "$log" || fail "$log lacks the success line"
grep -qx '"CommPort"="1"' <(tr -d '\r' </var/lib/corvanta/registry.reg) || fail "registry.reg holds no CommPort 1"
say "log $log, registry.reg: $(tr -d '\r' </var/lib/corvanta/registry.reg | grep CommPort)"
kill -TERM "$sim"
wait "$sim" 2>/dev/null || true

# Removed: the program goes, the logs and the machine folder stay.
dpkg --remove corvupdater >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg --remove"; }
[ ! -e /opt/corvanta/current/bin/CorvUpdater ] && [ ! -L /usr/bin/CorvUpdater ] || fail "removing left the program"
[ -f "$log" ] && [ -f /var/lib/corvanta/registry.reg ] || fail "removing took the logs or the machine folder"
# Purged: nothing of it is left.
dpkg --purge corvupdater >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg --purge"; }
installed=
for p in /opt/corvanta /var/lib/corvanta /usr/bin/CorvUpdater; do
  if [ -e "$p" ] || [ -L "$p" ]; then fail "purging left $p"; fi
done
for u in "$member" "$outsider"; do userdel "$u"; done
users=()
[ "$(cat "${accounts[@]}" 2>/dev/null | md5sum)" = "$accounts_before" ] || fail "the account files differ after userdel"
say "removed and purged: /opt/corvanta, /var/lib/corvanta, /usr/bin/CorvUpdater and both users gone"

# --- the zip under Wine ------------------------------------------------------
[ -f "$prefix/.prepared" ] || [ -f "$prefix/system.reg" ] || bash "$top/tests/wine/prepare.sh" "$prefix"
unzip -q "$zip" -d "$work/zip"
exe=$(ls "$work"/zip/CorvUpdater-*-win64/CorvUpdater.exe)
grep -q $'\r$' "$(dirname "$exe")/README.txt" && ! grep -q $'[^\r]$' "$(dirname "$exe")/README.txt" ||
  fail "README.txt does not end every line in CR LF"
start_sim "$work/wine-unit"
wine_touched=yes
ln -sfn "$work/wine-unit" "$prefix/corvanta"
status=0
# Into a file, not a pipe: Wine's service processes keep their output open.
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 300 wine "$exe" -y COM1 </dev/null >"$work/wine.out" 2>&1) || status=$?
tr -d '\r' <"$work/wine.out" | sed 's/^/  wine: /'
[ "$status" = 0 ] || fail "CorvUpdater.exe under Wine ends with $status"
grep -q '^Success: all operations are complete' "$work/wine.out" || fail "no success line under Wine"
unit_state "$work/wine-unit" "${sims[-1]}" | grep -qx 'version=510' || fail "the Wine run left the unit below 5.10"
ls "$(dirname "$exe")"/LogFiles/*.log >/dev/null || fail "no log beside CorvUpdater.exe"
say "all checks passed"
