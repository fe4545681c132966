#!/usr/bin/env bash
# Makes the Windows cross toolchain, once per machine:
#   - Debian's MinGW-w64, Wine, socat and Xvfb;
#   - Qt 6.4.2 qtbase for x86_64-w64-mingw32, built from Debian's own source
#     package with Debian's Qt host tools: only the modules and features
#     Tarnel uses, with precompiled headers (most of the first run's 27
#     minutes on 2 cores);
#   - GoogleTest for Windows, from /usr/src/googletest;
#   - OpenSSL 3.0's two libraries and the MQTT client library libmosquitto
#     2.0, from Debian's source packages too (3 to 4 minutes and about one
#     minute on 2 cores).
# Everything built goes into a cache folder outside the repository
# (TARNEL_WIN_CACHE, default ~/.cache/tarnel-win) and is reused when present.
# Prints the Qt prefix's path on standard output; everything else goes to
# standard error, so that a caller can take the path and still show progress.
set -euo pipefail
exec 3>&1 1>&2
cd "$(dirname "$0")/.."
repo="$PWD"
cache="${TARNEL_WIN_CACHE:-$HOME/.cache/tarnel-win}"
prefix="$cache/qt6-mingw"
jobs="$(nproc)"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 socat xvfb xauth zip unzip wixl msitools
  cmake ninja-build dpkg-dev
  qt6-base-dev qt6-base-dev-tools googletest
)

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The URIs of Debian's own archive as this machine reaches it (a mirror, a
# proxy, a snapshot), one a line: the package files apt says come from
# origin Debian.
debian_archive_uris() {
  apt-cache policy | awk '
    $1 ~ /^[0-9]+$/ && NF >= 3 { uri = $2; next }
    $1 == "release" && uri != "" { if ($2 ~ /(^|,)o=Debian(,|$)/) print uri; uri = "" }
  ' | sed 's:/*$::' | sort -u
}

# Runs the awk program $1 on each of the files given that exists, with the
# URIs of the list $2 as the keys of its array "known".
awk_with_known_uris() {
  local program="$1" archive="$2" f
  shift 2
  for f in "$@"; do
    [ -f "$f" ] || continue
    awk -v archive="$archive" '
      BEGIN { n = split(archive, list, "\n"); for (i = 1; i <= n; i++) known[list[i]] = 1 }
    '"$program" "$f"
  done
}

# The deb entries among the deb822 files given whose URIs are in the list
# $1, restated as deb-src entries: every field kept as written but Types,
# and only the listed URIs.
# shellcheck disable=SC2016 # the $ are awk's
deb822_src_entries() {
  awk_with_known_uris '
      function flush(   n, i, u, x, kept) {
        if (types ~ /(^|[ \t\n])deb([ \t\n]|$)/ && tolower(enabled) != "no") {
          n = split(uris, u, /[ \t\n]+/)
          for (i = 1; i <= n; i++) {
            x = u[i]
            sub(/\/+$/, "", x)
            if (x in known) kept = kept (kept == "" ? "" : " ") u[i]
          }
          if (kept != "")
            printf "Types: deb-src\nURIs: %s\n%s\n", kept, rest
        }
        types = uris = enabled = rest = field = ""
      }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ {
        if (field == "types") types = types "\n" $0
        else if (field == "uris") uris = uris "\n" $0
        else if (field != "") rest = rest $0 "\n"
        next
      }
      {
        field = tolower(substr($0, 1, index($0, ":") - 1))
        value = substr($0, index($0, ":") + 1)
        if (field == "types") types = value
        else if (field == "uris") uris = value
        else if (field == "enabled") { enabled = value; gsub(/[ \t]/, "", enabled) }
        else rest = rest $0 "\n"
      }
      END { flush() }
    ' "$@"
}

# The same for one-line files: each "deb" line whose URI is in the list $1,
# options and all, as a "deb-src" line.
# shellcheck disable=SC2016 # the $ are awk's
one_line_src_entries() {
  awk_with_known_uris '
      {
        line = $0
        sub(/#.*/, "", line)
        sub(/[ \t]+$/, "", line)
        if (line !~ /^[ \t]*deb[ \t]/) next
        sub(/^[ \t]*deb[ \t]+/, "", line)
        options = ""
        if (line ~ /^\[/) {
          options = substr(line, 1, index(line, "]")) " "
          line = substr(line, index(line, "]") + 1)
          sub(/^[ \t]+/, "", line)
        }
        split(line, word, /[ \t]+/)
        uri = word[1]
        sub(/\/+$/, "", uri)
        if (uri in known) print "deb-src " options line
      }
    ' "$@"
}

# The source package needs a deb-src entry beside each deb entry of
# Debian's archive: taken from the machine's own entries, in the form they
# are written in, so that whatever mirror or proxy the machine uses serves
# the source too.
enable_sources() {
  # (showsrc succeeds whether or not it finds the package)
  apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package: qt6-base$' && return 0
  local archive
  archive="$(debian_archive_uris)"
  if [ -z "$archive" ]; then # lists emptied, as in slim container images
    $sudo apt-get update -qq
    archive="$(debian_archive_uris)"
  fi
  local lists=/etc/apt/sources.list.d
  local stanzas lines
  stanzas="$(deb822_src_entries "$archive" "$lists"/*.sources)"
  lines="$(one_line_src_entries "$archive" /etc/apt/sources.list "$lists"/*.list)"
  if [ -z "$stanzas$lines" ]; then
    echo "No deb entry of Debian's archive in /etc/apt to take a deb-src entry from." >&2
    return 1
  fi
  [ -z "$stanzas" ] || printf '%s\n' "$stanzas" | $sudo tee "$lists/tarnel-deb-src.sources" >/dev/null
  [ -z "$lines" ] || printf '%s\n' "$lines" | $sudo tee "$lists/tarnel-deb-src.list" >/dev/null
  $sudo apt-get update -qq
}

# Unpacks Debian's source package $1 into the folder $2, unless there: the
# newest version apt lists, or the next one if the archive does not serve
# it (a security update's source may be missing from a mirror or a proxy).
fetch_source() {
  local package="$1" dir="$2" download version
  [ -d "$dir" ] && return 0
  mkdir -p "$cache/src"
  download="$(mktemp -d "$cache/src/download.XXXXXX")"
  for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -ruV); do
    if (cd "$download" && apt-get source --download-only "$package=$version" >/dev/null 2>&1); then
      # (into the download folder, where it leaves its copy of the tarball)
      dpkg-source --no-check -x "$download"/*.dsc "$download/tree" >/dev/null
      mv "$download/tree" "$dir"
      rm -rf "$download"
      return 0
    fi
    rm -f "$download"/*
  done
  rm -rf "$download"
  echo "No version of the source package $package could be downloaded."
  return 1
}

fetch_qt_source() {
  local src="$cache/src"
  fetch_source qt6-base "$src/qtbase"
  # Debian's source lacks the Wintab headers, so Direct2D is off too, and
  # 6.4.2 then needs DirectWrite 3's font engine kept out as well. Without
  # OpenGL, its dynamic-GL code in the window must go too.
  local windows="$src/qtbase/src/plugins/platforms/windows"
  sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' \
    "$windows/qwindowsintegration.cpp"
  sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
    "$windows/qwindowswindow.cpp"
}

# What Tarnel's window, its tests and the Windows platform plugin never use:
# whole modules, and the widgets, documents and image formats that would
# only lengthen the first build. (Without FreeType there is no offscreen
# plugin either; the Windows tests draw real windows. The main window and its
# tool bar stay: Qt's compatibility code for older programs needs them.)
qt_features_off=(
  tabletevent direct2d sql network dbus printsupport opengl vulkan concurrent xml
  jpeg gif movie freetype pdf textodfwriter textmarkdownreader textmarkdownwriter
  graphicsview graphicseffect mdiarea calendarwidget
  datetimeedit fontcombobox fontdialog colordialog filedialog wizard columnview
  keysequenceedit lcdnumber dial splashscreen toolbox textbrowser undoview undocommand
)

build_qt() {
  [ -f "$prefix/lib/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake" ] && return 0
  fetch_qt_source
  local build="$cache/qtbase-build" feature off=()
  for feature in "${qt_features_off[@]}"; do off+=("-DFEATURE_$feature=OFF"); done
  # Precompiled headers: most of a Qt source file's compile is its headers.
  cmake -S "$cache/src/qtbase" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DBUILD_WITH_PCH=ON "${off[@]}" >"$cache/qtbase-configure.log"
  cmake --build "$build" --parallel "$jobs"
  cmake --install "$build" >/dev/null
  rm -rf "$build" "$cache/src/qtbase"
}

build_gtest() {
  [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && return 0
  local build="$cache/gtest-build"
  cmake -S /usr/src/googletest -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=OFF >/dev/null
  cmake --build "$build" --parallel "$jobs"
  cmake --install "$build" >/dev/null
  rm -rf "$build"
}

# OpenSSL's two libraries, for libmosquitto's TLS: the DLLs, their import
# libraries and the headers, nothing else. Its own targets would build the
# static libraries as well, from a second compile of every source; nor does
# anything here use its programs, engines, loadable modules, or the
# ciphers and protocols a broker does not speak, which are left out too.
build_openssl() {
  [ -f "$prefix/lib/libssl.dll.a" ] && return 0
  local src="$cache/src/openssl"
  fetch_source openssl "$src"
  (
    cd "$src"
    ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- CC=gcc-posix \
      --prefix="$prefix" --libdir=lib shared no-tests no-engine no-module no-legacy \
      no-aria no-bf no-camellia no-cast no-idea no-md4 no-mdc2 no-rc2 no-rc4 no-rmd160 \
      no-sm2 no-sm3 no-sm4 no-whirlpool no-siphash no-srp no-gost no-dsa \
      no-scrypt no-cms no-ts no-cmp no-dtls no-sctp no-comp no-ec2m no-ocb no-srtp \
      no-nextprotoneg no-ssl3 no-rfc3779 >"$cache/openssl-configure.log"
    make -j"$jobs" build_generated >/dev/null
    make -j"$jobs" libcrypto-3-x64.dll libssl-3-x64.dll >/dev/null
    mkdir -p "$prefix/bin" "$prefix/include/openssl"
    cp include/openssl/*.h "$prefix/include/openssl/"
    cp libcrypto-3-x64.dll libssl-3-x64.dll "$prefix/bin/"
    # (last: what tells a later run that OpenSSL is there)
    cp libcrypto.dll.a libssl.dll.a "$prefix/lib/"
  )
  rm -rf "$src"
}

# The MQTT client library alone (no broker, clients, plugins or C++
# wrapper), with TLS; without its thread, as Tarnel drives it from the
# event loop.
build_mosquitto() {
  [ -f "$prefix/include/mosquitto.h" ] && return 0
  local src="$cache/src/mosquitto" build="$cache/mosquitto-build"
  fetch_source mosquitto "$src"
  cmake -S "$src" -B "$build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DWITH_TLS=ON -DWITH_THREADING=OFF -DWITH_CJSON=OFF -DWITH_LIB_CPP=OFF \
    -DWITH_CLIENTS=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF \
    -DDOCUMENTATION=OFF >"$cache/mosquitto-configure.log"
  cmake --build "$build" --parallel "$jobs"
  # Its install rule leaves out the import library.
  cp "$build/lib/libmosquitto.dll.a" "$prefix/lib/"
  cmake --install "$build" >/dev/null
  rm -rf "$build" "$src"
  rmdir --ignore-fail-on-non-empty "$cache/src"
}

# One run at a time: two builds into one cache delete each other's objects.
# A second run waits here for the first, then finds the toolchain made.
mkdir -p "$cache"
exec 4>"$cache/.lock"
if ! flock -n 4; then
  echo "Waiting for another run of $(basename "$0") to finish with $cache..."
  flock 4
fi
install_packages
enable_sources
build_qt
build_gtest
build_openssl
build_mosquitto
echo "$prefix" >&3
