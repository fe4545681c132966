#!/usr/bin/env bash
# Builds Tarnel for Windows (build-win/) and runs its tests under Wine:
#   1. the common tests: line assembly, numbers, settings file, the window;
#      and the Win32 port layer against a scripted driver;
#   2. the COM port tests, through the real window and the Win32 port layer,
#      against a null-modem pair of pseudo-terminals mapped as COM5 and COM6,
#      with line states from the preloaded line-state library; the time mark
#      test again in de-DE, and with Greek formats on a Western code page,
#      also with a short date naming the month;
#   3. publishing to a broker on this machine, over TLS with a client
#      certificate (tests/windows/publishing.sh);
#   4. the portable zip, unpacked into an empty folder and run there;
#   5. the MSI, installed silently with and without STARTATLOGIN=1, the
#      installed program run from Program Files, replaced by a rebuild of
#      its version and by a later version, and uninstalled.
# The first run on a machine builds the Windows toolchain first
# (tools/win-toolchain.sh: 40 to 50 minutes on 2 cores); later runs reuse it.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
jobs="$(nproc)"

prefix="$(tools/win-toolchain.sh)"
[ -f build/build.ninja ] || tools/build.sh build
cmake --build build --target fakeserial >/dev/null # Linux's, preloaded into Wine
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" -DQT_HOST_PATH=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-win --parallel "$jobs"

work="$(mktemp -d)"
cleanup() {
  set +e
  [ -n "${control_pid:-}" ] && kill "$control_pid"
  [ -f "$work/pair.pid" ] && kill "$(cat "$work/pair.pid")"
  wineserver -k
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid"
  rm -rf "$work"
} 2>/dev/null
trap cleanup EXIT

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
# Qt's Windows platform plugin draws real windows: one X display for all.
display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
wineboot --init >/dev/null 2>&1

# The null-modem pair: what is written on COM6 arrives on COM5.
# The control loop below runs in a subshell: the pid goes through a file.
start_pair() {
  socat pty,raw,echo=0,link="$work/com5" pty,raw,echo=0,link="$work/com6" 2>/dev/null &
  echo $! >"$work/pair.pid"
  for _ in $(seq 100); do [ -e "$work/com5" ] && [ -e "$work/com6" ] && return 0; sleep 0.05; done
  echo "socat made no pair"; return 1
}
stop_pair() {
  local pid
  pid="$(cat "$work/pair.pid")"
  kill "$pid" 2>/dev/null
  while kill -0 "$pid" 2>/dev/null; do sleep 0.02; done
  rm -f "$work/com5" "$work/com6" "$work/pair.pid"
}
start_pair
for port in 5 6; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$port" /t REG_SZ /d "$work/com$port" /f >/dev/null
done
wineserver -k # the ports are mapped when Wine starts again

# Requests from the tests: make the device vanish, or come back.
mkdir "$work/control"
export TARNEL_DEVICE_CONTROL="$work/control"
(
  while sleep 0.05; do
    if [ -e "$work/control/vanish" ]; then stop_pair; rm "$work/control/vanish"; fi
    if [ -e "$work/control/return" ]; then start_pair; rm "$work/control/return"; fi
  done
) &
control_pid=$!

passed=0
run() { # label, program, arguments...
  local label="$1" out
  shift
  out="$(mktemp)"
  # A hang fails the run instead of holding it.
  if ! (cd build-win/bin && timeout 600 wine "$@") >"$out" 2>&1; then
    grep -vE '^(fixme|err):' "$out" | tail -60
    echo "FAILED: $label"
    exit 1
  fi
  local count
  count="$(sed -n 's/.*\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$out")"
  passed=$((passed + count))
  echo "$label: $count passed"
  rm -f "$out"
}

# A UTF-8 locale, in which Wine's code page is 1252 and file names may hold
# any character: the tests then log to a path outside the code page.
export LANG=en_US.UTF-8
run "common tests" tarnel_tests.exe
run "port layer against a scripted driver" tarnel_portlayer_tests.exe

# Wine waits for comm events only on ports whose modem lines it can read,
# which pseudo-terminals refuse: the library answers for them, with modem
# lines (mode 1) unless a test asks for more.
{ printf '\001\000\000\000'; head -c 4092 /dev/zero; } >"$work/linestates"
export TARNEL_FAKE_SERIAL="$work/linestates"
export LD_PRELOAD="$repo/build/tests/libfakeserial.so"
LANG=en_US.UTF-8 TARNEL_EXPECTED_LOCALE=en-US run "COM port tests (en-US)" tarnel_comport_tests.exe
source tests/windows/publishing.sh
publishing_test
LANG=de_DE.UTF-8 TARNEL_EXPECTED_LOCALE=de-DE run "time marks (de-DE)" tarnel_comport_tests.exe \
  --gtest_filter='*TimeMarks*'
# Greek formats on a Western code page: the AM and PM markers are not in it.
LANG=en_US.UTF-8 LC_MESSAGES=el_GR.UTF-8 TARNEL_EXPECTED_LOCALE=el-GR \
  run "time marks (el-GR formats, code page 1252)" tarnel_comport_tests.exe \
  --gtest_filter='*TimeMarks*'
# And a short date naming the month, which the code page lacks too.
export LC_MESSAGES=el_GR.UTF-8
wine reg add 'HKCU\Control Panel\International' /v sShortDate /d 'd MMM yyyy' /f >/dev/null 2>&1
TARNEL_EXPECTED_LOCALE=el-GR run "time marks (el-GR, short date d MMM yyyy)" \
  tarnel_comport_tests.exe --gtest_filter='*TimeMarks*'
wine reg delete 'HKCU\Control Panel\International' /v sShortDate /f >/dev/null 2>&1
unset LD_PRELOAD TARNEL_FAKE_SERIAL LC_MESSAGES

# What the zip and the MSI hold.
bundled=(tarnel.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libstdc++-6.dll libgcc_s_seh-1.dll
  libwinpthread-1.dll libmosquitto.dll libssl-3-x64.dll libcrypto-3-x64.dll
  platforms/qwindows.dll styles/qwindowsvistastyle.dll README.md)

# The portable zip: unpacked into an empty folder, it runs there and keeps
# tarnel.ini beside tarnel.exe.
(cd build-win && cpack -G ZIP -B "$work/zip" >/dev/null)
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win/CMakeCache.txt)"
zip="$work/zip/tarnel-$version-windows-x86_64.zip"
mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
folder="$work/unpacked/tarnel-$version-windows-x86_64"
for file in "${bundled[@]}"; do
  [ -f "$folder/$file" ] || { echo "FAILED: the zip lacks $file"; exit 1; }
done
# Explorer's icon and the file's version: group icon (0e) and version (10)
# resources in tarnel.exe.
resource_types="$(x86_64-w64-mingw32-objdump -p "$folder/tarnel.exe" |
  sed -n 's/^[0-9a-f]*   Entry: ID: 0x0000\(..\),.*/\1/p' | tr '\n' ' ')"
[[ "$resource_types" == *0e*10* ]] ||
  { echo "FAILED: tarnel.exe lacks its icon or version (resource types: $resource_types)"; exit 1; }
strings -el "$folder/tarnel.exe" | grep -qx "$version" ||
  { echo "FAILED: tarnel.exe does not carry version $version"; exit 1; }
(cd "$folder" && wine tarnel.exe >/dev/null 2>&1 &)
# taskkill closes the window as its close button does, once there is one:
# Wine's tasklist does not list the program, so ask until the settings appear.
for _ in $(seq 60); do
  wine taskkill /im tarnel.exe >/dev/null 2>&1
  for _ in $(seq 10); do [ -f "$folder/tarnel.ini" ] && break 2; sleep 0.1; done
done
expected="$(printf '1\r\n;\r\n%s\\log.csv\r\n 0\r\n 0\r\n' "Z:${folder//\//\\}")"
[ "$(cat "$folder/tarnel.ini" 2>/dev/null)" = "$expected" ] ||
  { echo "FAILED: tarnel.ini beside the unpacked tarnel.exe:"; cat -A "$folder/tarnel.ini"; exit 1; }
passed=$((passed + 1))
echo "portable zip: runs where it is unpacked, $(du -k "$zip" | cut -f1) kB"

# The installer, as an administrator deploys it: silently, for all users;
# the program started from Program Files; the Startup shortcut only with
# STARTATLOGIN=1, and kept by an upgrade that does not repeat it; a rebuilt
# package of the same version and a later one each replacing the installed
# one; and an uninstall that leaves what the user made. Wine lets the user
# write Program Files, as an administrator may: the installed program must
# keep its files in the user's folders all the same.
build_msi() { # version for the MSI (empty: the program's), copy to make
  cmake -D TARNEL_MSI_VERSION="$1" build-win >/dev/null
  cmake --build build-win --target msi >"$work/msi.log" 2>&1 ||
    { tail -20 "$work/msi.log"; echo "FAILED: building the MSI"; exit 1; }
  cp "build-win/tarnel-${1:-$version}-windows-x86_64.msi" "$work/$2"
}
build_msi "" first.msi
build_msi "" rebuilt.msi
build_msi "${version%.*}.$((${version##*.} + 1))" later.msi
cmake -D TARNEL_MSI_VERSION= build-win >/dev/null # the build folder as it was
installed="$WINEPREFIX/drive_c/Program Files/Tarnel"
appdata="$(winepath -u "$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')")/tarnel"
# The Start menu of all users, where Windows puts the shortcuts; Wine puts
# them into the user's own.
shortcut() { find "$WINEPREFIX/drive_c" -ipath "*/Start Menu/Programs/$1" 2>/dev/null | head -1; }
msi_failed() { echo "FAILED: MSI $*"; exit 1; }
listed() { # how many entries the installed programs have for Tarnel
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    grep -c 'DisplayName.*Tarnel'
}
run_msiexec() { # /i or /x, properties
  wine msiexec "$1" "$(winepath -w "$work/$msi_file")" /qn "${@:2}" >/dev/null 2>&1
}
# Whether a shortcut (.lnk, its strings in UTF-16) passes --start.
starts_logging() { [ -f "$1" ] && strings -el "$1" | grep -qx -- '--start'; }
# The Startup shortcut there exactly when the first install was given STARTATLOGIN=1.
startup_shortcut() { # when
  if [ -n "$property" ]; then
    starts_logging "$(shortcut StartUp/Tarnel.lnk)" ||
      msi_failed "$label: no Startup shortcut with --start $1"
  else
    [ -z "$(shortcut StartUp/Tarnel.lnk)" ] || msi_failed "$label: a Startup shortcut $1"
  fi
}
# No menu entries on this machine for what is installed into Wine.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
for property in "" STARTATLOGIN=1; do
  label="${property:-without a property}"
  msi_file=first.msi
  run_msiexec /i $property || msi_failed "$label: msiexec /i failed"
  for file in "${bundled[@]}"; do
    [ -f "$installed/$file" ] || msi_failed "$label: no $file in Program Files\Tarnel"
  done
  [ -n "$(shortcut Tarnel.lnk)" ] || msi_failed "$label: no Start menu shortcut"
  [ "$(listed)" = 1 ] || msi_failed "$label: not once in the installed programs"
  startup_shortcut ""

  # It logs from COM 5 without a click, with the settings a user saved in
  # the user's folder: started at a session start (wineboot runs the
  # Startup folder) when the shortcut is there, else from Program Files as
  # a user starts it.
  mkdir -p "$appdata"
  rm -f "$appdata/log.csv"
  log="$(winepath -w "$appdata")\\log.csv"
  printf '5\r\n;\r\n%s\r\n 0\r\n 0\r\n' "$log" >"$appdata/tarnel.ini"
  export TARNEL_FAKE_SERIAL="$work/linestates" LD_PRELOAD="$repo/build/tests/libfakeserial.so"
  if [ -n "$property" ]; then
    wine wineboot >/dev/null 2>&1
  else
    wine "C:\\Program Files\\Tarnel\\tarnel.exe" --start >/dev/null 2>&1 &
  fi
  unset LD_PRELOAD TARNEL_FAKE_SERIAL
  for _ in $(seq 100); do
    printf 'a,b\r\n' >"$work/com6"
    grep -q 'a;b' "$appdata/log.csv" 2>/dev/null && break
    sleep 0.2
  done
  grep -q 'a;b' "$appdata/log.csv" 2>/dev/null || msi_failed "$label: Program Files\Tarnel\tarnel.exe logged nothing"
  wine taskkill /im tarnel.exe >/dev/null 2>&1
  # Until it has ended (and Wine with it): files in use would stay until a reboot.
  timeout 60 wineserver -w
  [ ! -e "$installed/tarnel.ini" ] && [ ! -e "$installed/log.csv" ] ||
    msi_failed "$label: the program's folder holds settings or a log"

  for msi_file in rebuilt.msi later.msi; do
    run_msiexec /i || msi_failed "$label: msiexec /i $msi_file failed"
    [ "$(listed)" = 1 ] || msi_failed "$label: $(listed) entries in the installed programs after $msi_file"
    [ -f "$installed/tarnel.exe" ] || msi_failed "$label: no tarnel.exe after $msi_file"
    startup_shortcut "after $msi_file"
  done
  run_msiexec /x || msi_failed "$label: msiexec /x failed"
  [ ! -e "$installed" ] || msi_failed "$label: Program Files\Tarnel is still there after /x"
  [ -z "$(shortcut Tarnel.lnk)" ] && [ -z "$(shortcut StartUp/Tarnel.lnk)" ] ||
    msi_failed "$label: a shortcut is still there after /x"
  [ "$(listed)" = 0 ] || msi_failed "$label: still in the installed programs after /x"
  [ -f "$appdata/tarnel.ini" ] && [ -f "$appdata/log.csv" ] ||
    msi_failed "$label: /x removed the user's tarnel.ini or log"
  passed=$((passed + 1))
  echo "MSI ($label): installed, logging${property:+ at the session start} with the user's settings, rebuilt and later versions each replacing it, uninstalled"
done

echo "Windows: $passed passed, 0 failed"
