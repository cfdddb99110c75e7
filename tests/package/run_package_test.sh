#!/usr/bin/env bash
# The Debian package on a clean system: builds tarn-raw2dpx_*.deb with CPack (Debian's hardening
# flags, installed under /usr), checks it with lintian, makes a minimal Debian 12 with
# debootstrap from the archive apt uses here, installs the package there with apt-get (so a
# missing dependency shows), and inside that system converts the bundled sample with raw2dpx,
# reads the DPX through the installed Qt image plugin from a small Qt program, and starts the
# window offscreen with the sample on its command line until it is up with the sample listed,
# then closes it.
#
# Usage: bash tests/package/run_package_test.sh [PACKAGE_BUILD_DIR]   (default: build-deb)
# Needs root for debootstrap and chroot. Prints "SKIPPED: ..." and exits 0 where it cannot run
# as root or cannot reach the archive. The bootstrapped system is kept in
# $TARN_PACKAGE_CACHE (default /var/cache/tarn-package-test) and reused for 30 days, with the
# packages apt downloaded into it.
set -uo pipefail

readonly kOverallSeconds=1800
if [ -z "${TARN_PACKAGE_TEST_TIMED:-}" ]; then
  # Never hang CI: the whole test runs under a deadline.
  TARN_PACKAGE_TEST_TIMED=1 exec timeout -k 20 "$kOverallSeconds" bash "$0" "$@"
fi

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
build=$(realpath -m "${1:-$root/build-deb}")
cache=${TARN_PACKAGE_CACHE:-/var/cache/tarn-package-test}/bookworm-$(dpkg --print-architecture)
readonly kSuite=bookworm kCacheDays=30
readonly kSample=$root/samples/canon-powershot-s40.crw kSampleSize=2312x1720

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
skip() {
  echo "SKIPPED: $*"
  exit 0
}
step() { echo "== $*"; }

for tool in cmake cpack dpkg-deb dpkg-shlibdeps lintian help2man; do
  command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/deps.sh installs it)"
done

# --- the package
step "building the package in $build"
# Debian's own build flags, given on the command line so that they also reach a build folder
# configured before (CMake reads CXXFLAGS and LDFLAGS from the environment only once).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="$CXXFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; fail "configuring the package build"; }
cmake --build "$build" -j "$(nproc)" || fail "building the package"
rm -f "$build"/tarn-raw2dpx_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack"; }
debs=("$build"/tarn-raw2dpx_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single tarn-raw2dpx_*.deb"
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Package Version Architecture Section Priority Maintainer Installed-Size Depends
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print "  " $6}'

step "lintian"
lintian_out=$(lintian --fail-on error --info "$deb" 2>&1)
lintian_status=$?
echo "${lintian_out:-(no tags)}"
[ $lintian_status -eq 0 ] || fail "lintian reports errors"
echo "lintian: no errors, $(grep -c '^W: ' <<<"$lintian_out") warnings"

# --- the clean system
[ "$(id -u)" -eq 0 ] || skip "debootstrap and chroot need root; the package was built and lintian passed"
command -v debootstrap >/dev/null || fail "debootstrap is missing (bash scripts/deps.sh installs it)"

# The Debian archive this machine's apt uses (the only network CI machines reach).
mirror=${TARN_DEBIAN_MIRROR:-$(
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
    2>/dev/null | grep -v '^[[:space:]]*#' | grep -oE 'https?://[^ ]+/debian/?( |$)' | grep -v security | head -n 1 | tr -d ' '
)}
mirror=${mirror:-http://deb.debian.org/debian}
host=$(sed -E 's|^https?://([^/:]+).*|\1|' <<<"$mirror")
port=80
[[ $mirror == https://* ]] && port=443
timeout 20 bash -c "exec 3<>/dev/tcp/$host/$port" 2>/dev/null ||
  skip "the Debian archive $mirror cannot be reached from here; the package was built and lintian passed"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-package-test.XXXXXX")
chroot_dir=$work/root
mounts=()
cleanup() {
  local i ok=1
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || ok=0
  done
  # Never delete through a mount that is still there (the download cache is one).
  if ((ok)) && ! findmnt -rn -o TARGET | grep -q "^$work/"; then
    rm -rf --one-file-system "$work"
  else
    echo "left $work in place: a mount in it could not be removed" >&2
  fi
}
trap cleanup EXIT
trap 'exit 124' TERM INT
mount_in() {  # mount_in TARGET mount-arguments...
  local target=$1
  shift
  mkdir -p "$target"
  mount "$@" "$target" || fail "mount $* $target"
  mounts+=("$target")
}

mkdir -p "$cache/archives/partial"
exec 9>"$cache/lock"
flock 9  # one bootstrap and one copy at a time on this machine

if [ -f "$cache/root/.tarn-bootstrapped" ] &&
  [ -z "$(find "$cache/root/.tarn-bootstrapped" -mtime +$kCacheDays)" ] &&
  [ "$(cat "$cache/root/.tarn-bootstrapped")" = "$mirror" ]; then
  step "minimal Debian 12 from the cache $cache/root"
else
  step "debootstrap --variant=minbase $kSuite from $mirror (kept in $cache)"
  rm -rf --one-file-system "$cache/root" "$cache/root.new"
  if ! debootstrap --variant=minbase "$kSuite" "$cache/root.new" "$mirror" \
    >"$cache/debootstrap.log" 2>&1; then
    tail -n 5 "$cache/debootstrap.log"
    rm -rf --one-file-system "$cache/root.new"
    if grep -qE "Failed getting release|Couldn't download|Failure trying to run: .*wget|Temporary failure|Could not resolve|Connection (refused|timed out)" \
      "$cache/debootstrap.log"; then
      skip "debootstrap cannot download Debian $kSuite from $mirror"
    fi
    fail "debootstrap (log: $cache/debootstrap.log)"
  fi
  chroot "$cache/root.new" apt-get clean
  echo "$mirror" >"$cache/root.new/.tarn-bootstrapped"
  mv "$cache/root.new" "$cache/root"
fi
cp -a "$cache/root" "$chroot_dir" || fail "copying the cached system"
flock -u 9

mount_in "$chroot_dir/proc" -t proc proc
mount_in "$chroot_dir/var/cache/apt/archives" --bind "$cache/archives"
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null
echo "deb $mirror $kSuite main" >"$chroot_dir/etc/apt/sources.list"

step "building the probes"
probes=$build/package-probe
cmake -S "$root/tests/package/probe" -B "$probes" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  >"$build/probe-configure.log" 2>&1 ||
  { cat "$build/probe-configure.log"; fail "configuring the probes"; }
cmake --build "$probes" || fail "building the probes"

inside=/root/tarn
mkdir -p "$chroot_dir$inside/probe/plugins/generic"
cp "$deb" "$kSample" "$chroot_dir$inside/"
cp "$probes/tarn-dpx-probe" "$chroot_dir$inside/probe/"
cp "$probes/plugins/generic/libtarnwindowprobe.so" "$chroot_dir$inside/probe/plugins/generic/"
in_chroot() {
  chroot "$chroot_dir" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

step "apt-get install ./$(basename "$deb") in the clean system"
in_chroot apt-get -q update >"$work/update.log" 2>&1 ||
  { tail -n 5 "$work/update.log"; skip "apt-get update cannot reach $mirror from the clean system"; }
# Without recommended packages: what the program needs has to be in Depends.
in_chroot sh -c "cd $inside && apt-get install -y --no-install-recommends ./$(basename "$deb")" \
  >"$work/install.log" 2>&1
install_status=$?
tail -n 12 "$work/install.log"
[ $install_status -eq 0 ] || fail "apt-get install of the package in the clean system"
grep -E "newly installed" "$work/install.log"

step "what the clean system got"
in_chroot dpkg -s tarn-raw2dpx | grep -E '^(Status|Version|Depends):'
plugin=$(in_chroot dpkg -L tarn-raw2dpx | grep '/qt6/plugins/imageformats/.*\.so$')
[ -n "$plugin" ] || fail "the package installs no image plugin into Qt's plugin folder"
for binary in /usr/bin/raw2dpx /usr/bin/tarn-raw2dpx "$plugin"; do
  missing=$(in_chroot ldd "$binary" | grep 'not found')
  [ -z "$missing" ] || fail "$binary needs libraries the package does not pull in: $missing"
done
in_chroot dpkg -L tarn-raw2dpx | grep -E '\.(desktop|xml|1\.gz|so)$|/bin/'
echo "tarn-raw2dpx --version: $(in_chroot tarn-raw2dpx --version)"

step "raw2dpx converts the bundled sample"
sample=$inside/$(basename "$kSample")
in_chroot raw2dpx --info "$sample" || fail "raw2dpx --info"
in_chroot raw2dpx "$sample" -o "$inside/out" || fail "raw2dpx could not convert the sample"
dpx=$inside/out/$(basename "$kSample" .crw).dpx
dpx_size=$(stat -c %s "$chroot_dir$dpx") || fail "no $dpx"
width=${kSampleSize%x*} height=${kSampleSize#*x}
echo "converted: $dpx, $dpx_size bytes"
[ "$dpx_size" -eq $((2048 + width * height * 6)) ] ||
  fail "the DPX has $dpx_size bytes, not the 2048-byte header and ${kSampleSize} 16-bit RGB pixels"

step "the installed Qt image plugin reads the DPX"
probe_out=$(in_chroot "$inside/probe/tarn-dpx-probe" "$dpx" 2>&1)
probe_status=$?
echo "$probe_out"
[ $probe_status -eq 0 ] || fail "a Qt program cannot read the DPX through the installed plugin"
grep -q "read as dpx: $kSampleSize" <<<"$probe_out" || fail "the DPX read back with a wrong size"

step "the window comes up offscreen with the sample listed, and closes"
mkdir -m 700 "$chroot_dir$inside/runtime"
window_out=$(in_chroot QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$inside/runtime" \
  QT_PLUGIN_PATH="$inside/probe/plugins" QT_QPA_GENERIC_PLUGINS=tarnwindowprobe \
  TARN_PROBE_ENTRIES=1 timeout 300 tarn-raw2dpx "$sample" 2>&1)
window_status=$?
echo "$window_out"
[ $window_status -eq 0 ] || fail "tarn-raw2dpx ended with status $window_status"
grep -q '^window up: "Tarn RAW to DPX Converter"' <<<"$window_out" || fail "the window never came up"
grep -qF "$sample  $kSampleSize" <<<"$window_out" || fail "the window did not list the sample"

echo "PASSED: the package installs on a clean Debian $kSuite, converts, reads DPX and opens its window"
