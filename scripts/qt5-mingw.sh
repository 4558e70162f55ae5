#!/usr/bin/env bash
# Qt 5 for 64-bit Windows (mingw-w64, static: Core, Gui, Widgets, Test, the
# qwindows platform plugin and the Windows styles), for the cross-build of
# Updater.exe. Prints the Qt prefix on its last line.
#
# Order: the machine's own copy (/var/cache/norza-qt5-mingw, or
# $NORZA_QT5_MINGW_CACHE) when it is complete; else the prebuilt archive of
# ../shared/cache/qt5-mingw (or $NORZA_QT5_MINGW_ARCHIVE) when its checksum
# and its build match; else a build from Debian's source package
# qtbase-opensource-src (about 30 to 40 minutes on 2 cores). Run as root: it
# may install packages and add a deb-src entry.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

version=5.15.8
cache=${NORZA_QT5_MINGW_CACHE:-/var/cache/norza-qt5-mingw}
prefix=$cache/qt5-mingw
archive=${NORZA_QT5_MINGW_ARCHIVE:-$root/../shared/cache/qt5-mingw/qt5-mingw-$version-static.tar.xz}
# What the Qt must be built with; part of the stamp, so a change rebuilds.
options=(-xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
  -opensource -confirm-license -release -static -nomake examples -nomake tests -make libs
  -no-opengl -no-dbus -no-icu -no-direct2d -no-freetype -no-libjpeg -no-gif
  -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz
  -no-feature-sql -no-feature-network -no-feature-xml -no-feature-concurrent
  -no-feature-printer -no-feature-tabletevent -no-feature-vulkan)
stamp_text="qt $version static mingw-w64 posix: ${options[*]}"

say() { echo "qt5-mingw: $*" >&2; }

# One at a time per cache: a second run waits, then finds the Qt ready.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

# A Qt prefix we can build against: the version, static, the modules and
# plugins the updater and its tests link, host tools that run here.
usable() {  # prefix
  local p=$1 m
  [[ -f $p/mkspecs/qconfig.pri ]] || return 1
  grep -qx "QT_VERSION = $version" "$p/mkspecs/qconfig.pri" || return 1
  grep -q '^QT_CONFIG +=.* static' "$p/mkspecs/qconfig.pri" || return 1
  for m in Core Gui Widgets Test; do [[ -f $p/lib/cmake/Qt5$m/Qt5${m}Config.cmake ]] || return 1; done
  [[ -f $p/plugins/platforms/libqwindows.a && -f $p/plugins/styles/libqwindowsvistastyle.a ]] || return 1
  [[ $("$p/bin/moc" -v 2>/dev/null) == "moc $version" ]] || return 1
  [[ -x $p/bin/rcc ]] || return 1
}

if [[ -f $cache/stamp && $(cat "$cache/stamp") == "$stamp_text" ]] && usable "$prefix"; then
  say "using $prefix"
  echo "$prefix"
  exit 0
fi

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then bash scripts/deps.sh full >&2; fi
rm -rf "$prefix" "$cache/stamp"

# The prebuilt archive: its SHA256SUMS must list it, and its README must name
# every one of our configure options.
sums=$(dirname "$archive")/SHA256SUMS
readme=$(dirname "$archive")/README.md
if [[ -f $archive && -f $sums ]]; then
  matching=1
  (cd "$(dirname "$archive")" && grep " $(basename "$archive")\$" SHA256SUMS | sha256sum -c --quiet -) >&2 || matching=0
  if [[ $matching -eq 1 && -f $readme ]]; then
    flat=$(tr -s ' \\\n' ' ' <"$readme")
    for option in "${options[@]}"; do
      [[ $flat == *" $option "* ]] || { say "the archive's build lacks $option"; matching=0; }
    done
  else
    matching=0
  fi
  if [[ $matching -eq 1 ]]; then
    say "unpacking $archive"
    tmp=$(mktemp -d "$cache/unpack.XXXXXX")
    tar -xJf "$archive" -C "$tmp"
    if usable "$tmp/qt5-mingw"; then
      mv "$tmp/qt5-mingw" "$prefix"
      rm -rf "$tmp"
      echo "$stamp_text" >"$cache/stamp"
      say "using $prefix (from the archive)"
      echo "$prefix"
      exit 0
    fi
    rm -rf "$tmp"
    say "the archive's Qt is not usable here; building from source"
  else
    say "the archive does not match; building from source"
  fi
fi

# From Debian's source package.
if [[ $(id -u) -ne 0 ]]; then say "building Qt needs root (apt-get source, build dependencies)"; exit 1; fi
export DEBIAN_FRONTEND=noninteractive
if ! apt-get source --print-uris qtbase-opensource-src >/dev/null 2>&1; then
  # A deb-src entry beside every deb one of the machine's sources.
  for file in /etc/apt/sources.list.d/*.sources; do
    grep -q '^Types:.*deb-src' "$file" && continue
    grep -q '^Types: deb$' "$file" || continue
    sed 's/^Types: deb$/Types: deb-src/' "$file" >"/etc/apt/sources.list.d/norza-src-$(basename "$file")"
  done
  if [[ -f /etc/apt/sources.list ]] && grep -q '^deb ' /etc/apt/sources.list && ! grep -q '^deb-src ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/norza-src.list
  fi
  apt-get update -qq >&2
fi
apt-get install -y -qq --no-install-recommends dpkg-dev perl python3 make xz-utils >/dev/null
src=$cache/src
rm -rf "$src"
mkdir -p "$src"
say "fetching Debian's qtbase-opensource-src"
(cd "$src" && apt-get source -qq qtbase-opensource-src >&2)
tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)
[[ -n $tree && -x $tree/configure ]] || { say "no source tree in $src"; exit 1; }
mkdir -p "$src/build"
start=$(date +%s)
say "configuring ($tree)"
(cd "$src/build" && "$tree/configure" -prefix "$prefix" "${options[@]}" >"$src/configure.log" 2>&1) ||
  { tail -n 40 "$src/configure.log" >&2; exit 1; }
say "building (make -j$(nproc)); log in $src/make.log"
(cd "$src/build" && make -j"$(nproc)" >"$src/make.log" 2>&1 && make install >>"$src/make.log" 2>&1) ||
  { tail -n 40 "$src/make.log" >&2; exit 1; }
usable "$prefix" || { say "the built Qt is incomplete"; exit 1; }
echo "$stamp_text" >"$cache/stamp"
rm -rf "$src"
say "built in $(($(date +%s) - start)) s: $prefix"
echo "$prefix"
