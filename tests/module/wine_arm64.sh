#!/usr/bin/env bash
# Wine for 64-bit ARM Windows programs on another processor: Debian's
# wine64:arm64, unpacked into a folder of its own and run by qemu-aarch64
# through a binfmt_misc of a private user namespace (Linux 6.7 or later), so
# that nothing is installed for the other architecture and nothing is
# registered for the whole machine.
#
#   wine_arm64.sh prepare          unpacks Wine (once per Wine version) and
#                                  prints its folder on the last line
#   wine_arm64.sh check ROOT       says whether this kernel lets Wine in ROOT
#                                  run here (status 0) or why not (status 1)
#   wine_arm64.sh ROOT ARGS...     runs ROOT's wine64 with ARGS
#   wine_arm64.sh server ROOT ARGS...
#                                  runs ROOT's wineserver with ARGS (-p to
#                                  start one that stays, -k to end it)
#
# The folder is ${SORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}}/sorvane/wine-arm64-<version>.
# `prepare` installs qemu-user when it is missing (which needs root); the
# package lists of the arm64 archive are private ones beside that folder, so
# the system's apt state is left as it is.
set -Eeuo pipefail

# The Wine loader and server and what they load themselves for console
# programs; the drivers for windows, sound and devices are left out. So is
# FreeType: with it but without Wine's fonts (another package) no desktop
# window can be made, and every process that asks for one starts another
# explorer.exe, without end.
PACKAGES=(wine64 libwine libc6 libgcc-s1 libunwind8 liblzma5 libz-mingw-w64)
# binfmt_misc's entry for 64-bit little-endian ARM executables (ELF header,
# machine 183), as qemu's own binfmt configuration has it.
MAGIC='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

log() { echo "wine_arm64: $*" >&2; }
failed() {
  [ "$BASH_SUBSHELL" != 0 ] || log "line $2 failed (status $1): $3"
}
die() {
  log "$*"
  exit 1
}

find_qemu() {
  command -v qemu-aarch64-static || command -v qemu-aarch64 || true
}

prepare() {
  # A step that fails without a word of its own is still named (set -e
  # would end the script at once).
  trap 'failed $? $LINENO "$BASH_COMMAND"' ERR
  if [ -z "$(find_qemu)" ]; then
    log "installing qemu-user"
    # Without its recommended qemu-user-binfmt, which would register qemu
    # for the whole machine.
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user >&2
  fi
  local cache=${SORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}}/sorvane
  local apt=$cache/apt-arm64
  mkdir -p "$apt/lists/partial" "$apt/archives/partial"
  # One caller at a time fetches the lists and unpacks; others wait.
  exec 9>"$apt.lock"
  flock 9
  local config=(-o APT::Architecture=arm64 -o APT::Architectures::=arm64
    -o "Dir::State::Lists=$apt/lists" -o Dir::State::status=/dev/null
    -o "Dir::Cache=$apt" -o APT::Sandbox::User=root)
  # The version the private lists name, or nothing before they are fetched
  # (apt-cache then fails).
  wine_version() {
    { apt-cache "${config[@]}" show --no-all-versions wine64:arm64 2>/dev/null || true; } |
      sed -n 's/^Version: //p' | head -n 1
  }
  folder() { echo "$cache/wine-arm64-$(sed 's/^[0-9]*://; s/[^A-Za-z0-9.+-]/_/g' <<<"$1")"; }
  local version
  version=$(wine_version)
  # The lists are fetched again before every unpacking: the archive keeps
  # only its current packages, so older lists could name files it dropped.
  if [ -z "$version" ] || [ ! -f "$(folder "$version")/.complete" ]; then
    apt-get "${config[@]}" update -qq >&2
    version=$(wine_version)
    [ -n "$version" ] || die "the arm64 package lists in $apt/lists name no wine64"
  fi
  local root
  root=$(folder "$version")
  if [ -f "$root/.complete" ]; then
    echo "$root"
    return
  fi
  log "unpacking wine64:arm64 $version into $root"
  rm -rf "$root" "$root.debs"
  mkdir -p "$root.debs"
  (cd "$root.debs" && apt-get "${config[@]}" download -qq "${PACKAGES[@]/%/:arm64}" >&2)
  for deb in "$root.debs"/*.deb; do
    dpkg-deb -x "$deb" "$root"
  done
  rm -rf "$root.debs"
  # Debian's wineserver is a script that starts the server it finds at a
  # fixed place; this one is in the folder. (The place itself would be
  # another architecture's server where the machine has Wine installed.)
  sed -i "s|=/usr/lib/wine/wineserver|=$root/usr/lib/wine/wineserver|" "$root/usr/lib/wine/wineserver"
  touch "$root/.complete"
  echo "$root"
}

# Runs "$@" in a new user and mount namespace whose own binfmt_misc hands
# aarch64 executables to qemu-aarch64, with ROOT as their root for libraries.
inside() {
  local root=$1
  shift
  local qemu
  qemu=$(find_qemu)
  [ -n "$qemu" ] || {
    echo "no qemu-aarch64 (Debian: qemu-user)"
    return 1
  }
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --user --map-root-user --mount -- /bin/sh -c '
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || {
      echo "this kernel has no binfmt_misc for a user namespace of its own (Linux 6.7 or later)"
      exit 125
    }
    printf "%s" ":sorvane-aarch64:M::$1:$2:$3:F" >/proc/sys/fs/binfmt_misc/register || {
      echo "binfmt_misc refused the entry for qemu-aarch64"
      exit 125
    }
    shift 3
    exec "$@"' sh "$MAGIC" "$MASK" "$qemu" env QEMU_LD_PREFIX="$root" "$@"
}

check() {
  local root=$1
  if [ -z "$root" ] || [ ! -f "$root/.complete" ]; then
    echo "no arm64 Wine unpacked (tests/module/wine_arm64.sh prepare)"
    return 1
  fi
  command -v unshare >/dev/null || {
    echo "no unshare (Debian: util-linux)"
    return 1
  }
  local out
  if ! out=$(inside "$root" "$root/lib/ld-linux-aarch64.so.1" --version 2>&1); then
    echo "${out:-no user namespace here}" | head -n 1
    return 1
  fi
}

wine() {
  local root=$1
  shift
  # qemu looks every absolute path up in ROOT first, "/" included, so Wine
  # cannot find its drive Z: (the Unix root) above a Unix path. A drive of
  # the prefix for the highest folder above the working directory that is
  # not in ROOT gives such paths a name; drive Z: still opens every file.
  local prefix=${WINEPREFIX:-$HOME/.wine} top=$PWD
  while [ "$(dirname "$top")" != / ] && [ ! -e "$root$(dirname "$top")" ]; do
    top=$(dirname "$top")
  done
  if [ -d "$prefix/dosdevices" ] && [ ! -e "$root$top" ]; then
    ln -sfn "$top" "$prefix/dosdevices/y:"
  fi
  inside "$root" "$root/usr/lib/wine/wine64" "$@"
}

server() {
  local root=$1
  shift
  inside "$root" "$root/usr/lib/wine/wineserver64" "$@"
}

case "${1:-}" in
  prepare) prepare ;;
  check) check "$2" ;;
  server)
    shift
    server "$@"
    ;;
  '' | -*)
    echo "usage: $0 prepare | check ROOT | ROOT ARGS..." >&2
    exit 2
    ;;
  *) wine "$@" ;;
esac
