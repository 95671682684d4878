#!/usr/bin/env bash
# Builds the sysroot of a MinGW-w64 toolchain for Windows on ARM from
# Debian's own source packages, as Debian ships no ARM target of MinGW-w64:
#   - the headers and the C runtime of mingw-w64, for the UCRT;
#   - compiler-rt's builtins and libunwind, libc++abi and libc++ (static
#     libraries only) of llvm-toolchain-16;
#   - compiler wrappers <triple>-clang and <triple>-clang++ around clang-16
#     and ld.lld-16 that use them.
#
#   cmake/mingw-arm-sysroot.sh [--cached] aarch64|armv7
#
# Prints the sysroot's folder on its last line of standard output; all else
# goes to standard error. The sysroot is kept outside the source tree, in
#   ${SORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}}/sorvane/mingw-<arch>-<mingw-w64 version>-<llvm version>
# so that a machine builds it once for each pair of package versions: when
# that folder is complete the script returns at once. The packages the build
# and the project need (clang-16, lld-16, llvm-16, dpkg-dev, mingw-w64-tools,
# ninja-build) are installed when missing, which needs root. The sources come
# through a private sources list with a deb-src line; the system's own apt
# configuration is left as it is. With --cached the script builds and
# installs nothing: it prints the folder of a complete cached sysroot, or
# fails.
set -Eeuo pipefail

cached_only=0
if [ "${1:-}" = --cached ]; then
  cached_only=1
  shift
fi
arch=${1:-}
case "$arch" in
  aarch64) triple=aarch64-w64-mingw32 crt_arch=(--enable-libarm64 --disable-libarm32) ;;
  armv7) triple=armv7-w64-mingw32 crt_arch=(--enable-libarm32 --disable-libarm64) ;;
  *)
    echo "usage: $0 [--cached] aarch64|armv7" >&2
    exit 2
    ;;
esac
log() { echo "mingw-arm-sysroot ($arch): $*" >&2; }
failed() {
  [ "$BASH_SUBSHELL" != 0 ] || log "line $2 failed (status $1): $3"
}
# A step that fails without a word of its own is still named (log goes to
# the terminal also while the build's output goes to its log).
trap 'failed $? $LINENO "$BASH_COMMAND"' ERR

if [ $cached_only = 1 ] && ! dpkg -s clang-16 >/dev/null 2>&1; then
  exit 1
fi
# The tools, from Debian's binary packages; mingw-w64-tools for the
# project's type library (widl).
need=()
for pkg in clang-16 lld-16 llvm-16 dpkg-dev mingw-w64-tools ninja-build; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ $cached_only = 0 ] && [ ${#need[@]} -gt 0 ]; then
  log "installing ${need[*]}"
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
fi

# The key: the LLVM version is that of the installed clang-16 (the sources
# must match the compiler), the mingw-w64 version the archive's.
llvm_version=$(dpkg-query -W -f='${Version}' clang-16)
archive_version() {
  apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^Version: //p' | head -n 1 || true
}
mingw_version=$(archive_version mingw-w64-common)
if [ -z "$mingw_version" ] && [ $cached_only = 0 ]; then
  apt-get update -qq >&2
  mingw_version=$(archive_version mingw-w64-common)
fi
if [ -z "$mingw_version" ]; then
  [ $cached_only = 1 ] || log "apt knows no mingw-w64-common: no mingw-w64 version to build"
  exit 1
fi
plain() { sed 's/^[0-9]*://; s/[^A-Za-z0-9.+-]/_/g' <<<"$1"; }
cache=${SORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}}/sorvane
root=$cache/mingw-$arch-$(plain "$mingw_version")-$(plain "$llvm_version")
if [ -f "$root/.complete" ]; then
  echo "$root"
  exit 0
fi
if [ $cached_only = 1 ]; then
  exit 1
fi

# One build of a sysroot at a time; a second caller waits for the first.
mkdir -p "$cache"
exec 9>"$root.lock"
flock 9
if [ -f "$root/.complete" ]; then
  echo "$root"
  exit 0
fi
start=$(date +%s)
work=$root.work
rm -rf "$root" "$work"
mkdir -p "$work/apt/lists/partial" "$work/src" "$root/bin"
# The steps' output goes to a log, shown in part when a step fails.
build_log=$work/build.log
exec 3>&2 2>"$build_log"
log() { echo "mingw-arm-sysroot ($arch): $(($(date +%s) - start)) s: $*" | tee -a "$build_log" >&3; }
trap 'status=$?; if [ $status != 0 ]; then tail -n 40 "$build_log" >&3; log "failed, see $build_log"; fi' EXIT

log "fetching mingw-w64 $mingw_version and llvm-toolchain-16 $llvm_version"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
cat >"$work/apt/sources.list" <<EOF
deb-src http://deb.debian.org/debian $codename main
deb-src http://deb.debian.org/debian $codename-updates main
deb-src http://deb.debian.org/debian-security $codename-security main
EOF
apt_private=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt" -o APT::Sandbox::User=root)
apt-get "${apt_private[@]}" update -qq >&2
(cd "$work/src" && apt-get "${apt_private[@]}" source -qq --download-only \
  "mingw-w64=$mingw_version" "llvm-toolchain-16=$llvm_version" >&2)
(cd "$work/src" && dpkg-source -x mingw-w64_*.dsc mingw >&2)
# Only the runtimes' part of LLVM's sources (a tenth of them).
llvm_tar=$(echo "$work"/src/llvm-toolchain-16_*.orig.tar.xz)
llvm_top=$(basename "$llvm_tar" .orig.tar.xz) # the archive's top folder
tar -xJf "$llvm_tar" -C "$work/src" --wildcards \
  "$llvm_top/cmake/*" "$llvm_top/llvm/cmake/*" "$llvm_top/llvm/utils/*" "$llvm_top/runtimes/*" \
  "$llvm_top/compiler-rt/*" "$llvm_top/libunwind/*" "$llvm_top/libcxxabi/*" "$llvm_top/libcxx/*"
mingw=$work/src/mingw
llvm=$work/src/$llvm_top

# The compiler wrappers. Link-only options go in only when the command
# links, so that compiling alone warns of no unused argument.
clang=$(command -v clang-16)
resource=$root/lib/clang/$("$clang" -dumpversion | cut -d. -f1)
mkdir -p "$resource"
cp -r "$("$clang" -print-resource-dir)/include" "$resource/"
for lang in c c++; do
  if [ $lang = c ]; then name=$triple-clang stdlib=""; else name=$triple-clang++ stdlib=" -stdlib=libc++"; fi
  cat >"$root/bin/$name" <<EOF
#!/bin/sh
# clang-16 for $triple: this sysroot's headers and libraries, the UCRT,
# compiler-rt, libunwind$([ $lang = c ] || echo ", libc++") and ld.lld-16.
link=1
for arg in "\$@"; do
  case "\$arg" in -c | -S | -E | -M | -MM | -fsyntax-only) link=0 ;; esac
done
if [ \$link = 1 ]; then
  set -- -rtlib=compiler-rt -unwindlib=libunwind --ld-path=$(command -v ld.lld-16) "\$@"
fi
exec $clang $( [ $lang = c ] || echo "--driver-mode=g++ ")--target=$triple --sysroot=$root -resource-dir=$resource$stdlib "\$@"
EOF
  chmod +x "$root/bin/$name"
done
# The resource compiler: llvm-windres-16, with the C wrapper as its
# preprocessor (it puts the file and -o last, so the options come first).
cat >"$root/bin/$triple-rcpp" <<WRAPPER
#!/bin/sh
exec $root/bin/$triple-clang -E -xc -DRC_INVOKED "\$@"
WRAPPER
cat >"$root/bin/$triple-windres" <<WRAPPER
#!/bin/sh
exec $(command -v llvm-windres-16) --target=$triple --preprocessor=$root/bin/$triple-rcpp "\$@"
WRAPPER
chmod +x "$root/bin/$triple-rcpp" "$root/bin/$triple-windres"
cc=$root/bin/$triple-clang
cxx=$root/bin/$triple-clang++
jobs=(-j "$(nproc)")

log "mingw-w64 headers"
mkdir -p "$work/headers"
(cd "$work/headers" && "$mingw/mingw-w64-headers/configure" --host="$triple" --prefix="$root/$triple" \
  --with-default-msvcrt=ucrt >&2 && make install >&2)

log "mingw-w64 C runtime"
if [ "$arch" = armv7 ]; then
  # The ARM assembler takes % for the section flag; @ starts a comment there.
  sed -i 's/__C_specific_handler, @except/__C_specific_handler, %except/' \
    "$mingw/mingw-w64-crt/crt/crtexe.c"
fi
mkdir -p "$work/crt"
(cd "$work/crt" && "$mingw/mingw-w64-crt/configure" --host="$triple" --prefix="$root/$triple" \
  --disable-lib32 --disable-lib64 "${crt_arch[@]}" --with-default-msvcrt=ucrt \
  --disable-dependency-tracking CC="$cc" CFLAGS=-O2 \
  AR="$(command -v llvm-ar-16)" RANLIB="$(command -v llvm-ranlib-16)" \
  DLLTOOL="$(command -v llvm-dlltool-16)" >&2 &&
  make "${jobs[@]}" >&2 && make install >&2)

# The runtimes are built by CMake with the wrappers, before any C++ library
# exists to link a test program with.
runtime_cmake=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_ASM_COMPILER="$cc"
  -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON -DCMAKE_ASM_COMPILER_WORKS=ON
  -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY
  -DCMAKE_AR="$(command -v llvm-ar-16)" -DCMAKE_RANLIB="$(command -v llvm-ranlib-16)"
  -DCMAKE_FIND_ROOT_PATH="$root/$triple" -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY)

log "compiler-rt builtins"
cmake -S "$llvm/compiler-rt/lib/builtins" -B "$work/builtins" "${runtime_cmake[@]}" \
  -DCMAKE_INSTALL_PREFIX="$resource" -DCMAKE_C_COMPILER_TARGET="$triple" \
  -DCOMPILER_RT_DEFAULT_TARGET_ONLY=ON -DCOMPILER_RT_BUILD_BUILTINS=ON \
  -DCOMPILER_RT_EXCLUDE_ATOMIC_BUILTIN=OFF -DLLVM_CONFIG_PATH= >&2
cmake --build "$work/builtins" "${jobs[@]}" >&2
cmake --install "$work/builtins" >&2

log "libunwind, libc++abi and libc++"
cmake -S "$llvm/runtimes" -B "$work/runtimes" "${runtime_cmake[@]}" \
  -DCMAKE_INSTALL_PREFIX="$root/$triple" -DCMAKE_CXX_COMPILER_TARGET="$triple" \
  -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DLLVM_INCLUDE_TESTS=OFF \
  -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_INCLUDE_DOCS=OFF \
  -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON -DLIBCXXABI_ENABLE_SHARED=OFF \
  -DLIBCXXABI_LIBDIR_SUFFIX= -DLIBCXXABI_INCLUDE_TESTS=OFF \
  -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
  -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_LIBDIR_SUFFIX= -DLIBCXX_INCLUDE_TESTS=OFF \
  -DLIBCXX_INCLUDE_BENCHMARKS=OFF -DLIBCXX_INCLUDE_DOCS=OFF -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF >&2
cmake --build "$work/runtimes" "${jobs[@]}" >&2
cmake --install "$work/runtimes" >&2

log "built $root"
touch "$root/.complete"
exec 2>&3
rm -rf "$work"
echo "$root"
