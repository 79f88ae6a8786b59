#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's path on a machine that has nothing yet: a minimal Debian 12
# made by debootstrap, then, inside it, in this order:
#   scripts/demo.sh, scripts/test.sh, cmake --install build,
#   the README's first C example built with pkg-config and run,
#   python3 -c 'import trimlet' (the installed module, no environment),
#   the README's pip lines (a venv, the module installed offline) and a crop.
# Each step must succeed; the script stops at the first that does not.
#
#   sudo apt-get install debootstrap
#   sudo scripts/fresh-install-check.sh [DIR]
#
# DIR (default /tmp/trimlet-fresh) is made anew; MIRROR and SECURITY_MIRROR
# choose Debian's mirrors; BASE=FILE.tar starts from a tar of an earlier debootstrap instead
# of running it again. The chroot has /proc and /dev/shm but no /dev/pts, as
# in a container: the terminal test skips there. Takes 20-40 minutes
# (downloads, the build and every test); not a CI stage for that reason.
# The committed tree (git HEAD) is what is checked, not uncommitted edits.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${1:-/tmp/trimlet-fresh}
mirror=${MIRROR:-http://deb.debian.org/debian}
[ "$(id -u)" -eq 0 ] || { echo "fresh-install-check.sh: run as root (debootstrap, chroot)" >&2; exit 1; }

cleanup() {
  for m in dev/shm proc; do
    mountpoint -q "$root/$m" && umount "$root/$m" || true
  done
}
trap cleanup EXIT
cleanup
rm -rf "$root"
mkdir -p "$root"
if [ -n "${BASE:-}" ]; then
  tar -C "$root" -xf "$BASE"
else
  command -v debootstrap >/dev/null || { echo "fresh-install-check.sh: needs debootstrap" >&2; exit 1; }
  debootstrap --variant=minbase bookworm "$root" "$mirror"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
# As an installed Debian 12 has them: the point release's updates and the
# security archive (debootstrap writes the release alone).
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${SECURITY_MIRROR:-http://deb.debian.org/debian-security} bookworm-security main
EOF
mount -t proc proc "$root/proc"
mkdir -p "$root/dev/shm"
mount -t tmpfs shm "$root/dev/shm"
mkdir -p "$root/root/trimlet"
git archive HEAD | tar -C "$root/root/trimlet" -x

step() {
  local name=$1
  shift
  echo "=== $name"
  local start=$SECONDS
  if ! chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
         LANG=C.UTF-8 /bin/bash -euo pipefail -c "cd /root/trimlet && $*"; then
    echo "=== FAILED: $name" >&2
    exit 1
  fi
  echo "=== ok: $name ($((SECONDS - start)) s)"
}

# The first ```c block of the README, and the ```sh block after "Install it
# offline" (the pip lines).
awk '/^```c$/ && !done {on=1; next} on && /^```$/ {on=0; done=1} on' README.md >"$root/root/app.c"
awk '/^Install it offline/ {seen=1} seen && /^```sh$/ {on=1; next} on && /^```$/ {exit} on' README.md >"$root/root/pip.sh"
[ -s "$root/root/app.c" ] && [ -s "$root/root/pip.sh" ] || { echo "README examples not found" >&2; exit 1; }

# Installed size: the root's own file system, less the sources and builds
# under /root and apt's downloads and lists.
installed() { du -smx --exclude="$root/root" --exclude="$root/var/cache/apt" --exclude="$root/var/lib/apt/lists" "$root" | cut -f1; }
before=$(installed)
step "scripts/demo.sh" scripts/demo.sh
after_demo=$(installed)
step "scripts/test.sh" scripts/test.sh
after_test=$(installed)
step "cmake --install build" cmake --install build
step "the README's C example" \
  'mkdir -p /root/app && cd /root/app && cp /root/app.c . && cp /root/trimlet/demo/sample.png photo.png &&
   cc app.c $(pkg-config --cflags --libs trimlet) && ./a.out && test -s thumb.jpg'
step "python3 -c 'import trimlet'" \
  'cd / && python3 -c "import trimlet; print(trimlet.__file__, trimlet.library_path)"'
step "the README's pip lines" \
  'bash -euxo pipefail /root/pip.sh &&
   cd / && /root/trimlet/env/bin/python -c "import trimlet; print(trimlet.__file__, trimlet.plan(\"/root/trimlet/demo/sample.png\", \"auto\"))"'
echo "fresh-install-check: every step succeeded"
echo "disk: base system ${before} MB; after the demo's packages +$((after_demo - before)) MB;" \
     "after the tests' packages +$((after_test - after_demo)) MB more (apt's downloads, sources and builds not counted)"
