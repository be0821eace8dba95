#!/usr/bin/env bash
# Prepares a Wine prefix for the Windows tests, once per CI run (a few seconds
# instead of a few seconds for every test that would otherwise find no prefix):
#   tests/wine/prepare.sh PREFIX-DIR
# The prefix is 64-bit, made without a display (nothing waits on a window),
# without the Mono and Gecko installers, and with the crash dialog and the
# post-mortem debugger off, so a crashing test program just ends with a failure
# status. A persistent wineserver is left running for the prefix, so the many
# short test programs after it do not each start one; stop it with
#   WINEPREFIX=PREFIX-DIR wineserver -k
# Use the prefix with WINEPREFIX=PREFIX-DIR WINEDEBUG=-all (tests/wine/run.sh and
# the windows presets do).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 PREFIX-DIR" >&2
  exit 2
fi
start=$(date +%s%N)
mkdir -p "$1"
WINEPREFIX=$(cd "$1" && pwd)
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
# Headless: Wine opens no window and asks nothing.
unset DISPLAY WAYLAND_DISPLAY

# The server first, so the boot and every program after it share it.
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1

settings=$(mktemp "$WINEPREFIX/settings-XXXXXX.reg")
trap 'rm -f "$settings"' EXIT
cat >"$settings" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"=-
"Auto"="0"
EOF
# COM1 to COM32 are the links <prefix>/corvanta/com<n>: <prefix>/corvanta is
# made a link to the machine folder a CorvSim serves (the end-to-end tests do
# it for each test), and no host serial device becomes a COM port here.
{
  echo
  echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
  for n in $(seq 32); do echo "\"COM$n\"=\"$WINEPREFIX/corvanta/com$n\""; done
} >>"$settings"
# Wine's drive Z: is the root of the build machine.
wine regedit /S "Z:${settings//\//\\}" </dev/null >/dev/null 2>&1
# Wine links the ports into dosdevices when its server starts.
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1
wine reg query 'HKLM\Software\Wine\Ports' </dev/null >/dev/null 2>&1

touch "$WINEPREFIX/.prepared"  # tests/wine/run.sh looks for it
elapsed=$((($(date +%s%N) - start) / 1000000))
printf 'Wine prefix %s prepared in %d.%03d s\n' "$WINEPREFIX" $((elapsed / 1000)) $((elapsed % 1000))
