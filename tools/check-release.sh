#!/usr/bin/env bash
# Builds and tests the tree on another Debian release, as a brand-new machine of that
# release would: tools/check-release.sh RELEASE [--shell [COMMAND...]]   (e.g. trixie)
#
# Makes a minimal root of RELEASE with debootstrap (only `make` added), keeps it pristine
# in a cache folder outside the repository and rebuilds it when it is broken or older
# than 30 days; each run works in a fresh copy of it. Into the copy go the files git
# knows of (committed or not, nothing ignored: no build folders), then, inside the root:
# `bash tools/deps.sh` (what a new machine installs), `make test` and
# `bash tools/check-package.sh` (the .deb for that release: build, lintian, install, the
# window under Xvfb). The .deb is copied out to the cache folder.
#
# Everything runs in a mount and process namespace of its own (unshare), so the root's
# /proc, /sys, /dev (a private devpts instance), /tmp and /run mounts, and any process
# left running inside, end with the run however it ends; the machine's own mounts and
# pseudo-terminals are not touched. Needs root (debootstrap, chroot, mounts).
#
# --shell enters the root of the last run (with its build and installed packages) with
# the same mounts and runs COMMAND there, or an interactive shell.
#
# Environment: QUILLMARK_RELEASE_CACHE (default /var/cache/quillmark-release),
# QUILLMARK_DEBIAN_MIRROR (default http://deb.debian.org/debian), JOBS (default 2).
# Ends with one line "check-release RELEASE: PASS ..." or "...: FAIL: ..." and the ctest
# summary of the release.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD

usage() {
  echo "usage: tools/check-release.sh RELEASE [--shell [COMMAND...]]   (e.g. trixie)" >&2
  exit 2
}

# --- Inside the namespace: mounts, then chroot. Never called by hand. ----------------
if [ "${1:-}" = --in-namespace ]; then
  root=$2
  shift 2
  cleanup_mounts() {
    # The namespace drops its mounts when it ends anyway; this is for the log's sake.
    umount -R "$root" 2>/dev/null || true
  }
  trap cleanup_mounts EXIT
  # As pid 1 of its namespace this shell ignores signals it has no handler for.
  trap 'exit 130' INT TERM HUP

  # The root a mount point of its own, so that the tests' mount namespace trick (which
  # makes "/" private) works inside it.
  mount --bind "$root" "$root"
  mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
  mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
  mount -t tmpfs -o mode=0755,nosuid tmpfs "$root/dev"
  for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
  done
  # A devpts instance of our own: openpty in the tests and the simulator must not share
  # (or change the mode of) the machine's pseudo-terminals. /dev/ptmx is a device node as
  # on a real machine (not a link to pts/ptmx, as in some containers); the kernel opens
  # it on the devpts instance mounted beside it.
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
  mknod -m 0666 "$root/dev/ptmx" c 5 2
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp"
  mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs "$root/run"
  mkdir -m 1777 "$root/run/lock"
  # Downloaded packages outlive the run: the next one installs without fetching them.
  if [ -n "${QUILLMARK_APT_CACHE:-}" ]; then
    mount --bind "$QUILLMARK_APT_CACHE" "$root/var/cache/apt/archives"
  fi

  environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    LANG=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive JOBS="${JOBS:-2}")
  for name in http_proxy https_proxy no_proxy; do
    [ -n "${!name:-}" ] && environment+=("$name=${!name}")
  done
  status=0
  if [ $# -gt 0 ]; then
    env -i "${environment[@]}" chroot "$root" /bin/bash -c "cd /src 2>/dev/null; $*" || status=$?
  else
    env -i "${environment[@]}" chroot "$root" /bin/bash -l || status=$?
  fi
  exit "$status"
fi

# --- On the machine -------------------------------------------------------------------
arguments=("$@")
[ $# -ge 1 ] || usage
release=$1
shift
case $release in
  '' | -* | */*) usage ;;
esac
shell=0
if [ "${1:-}" = --shell ]; then
  shell=1
  shift
elif [ $# -gt 0 ]; then
  usage
fi

if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "check-release: needs root (debootstrap, chroot, mounts), and there is no sudo" >&2
    exit 1
  }
  exec sudo --preserve-env=QUILLMARK_RELEASE_CACHE,QUILLMARK_DEBIAN_MIRROR,JOBS,http_proxy,https_proxy \
    bash "$0" "${arguments[@]}"
fi

cache=${QUILLMARK_RELEASE_CACHE:-/var/cache/quillmark-release}/$release
mirror=${QUILLMARK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
base=$cache/base
work=$cache/work
debs=$cache/debs
# What the pristine root is made of; a root made otherwise is made again.
recipe="debootstrap --variant=minbase --include=make $release $mirror"
stamp=.quillmark-release

in_namespace() {
  # However this script ends (even killed), unshare gets SIGKILL (--pdeathsig), and with it
  # (--kill-child) the namespace's first process, which takes every other one along.
  QUILLMARK_APT_CACHE=$debs setpriv --pdeathsig KILL \
    unshare --mount --propagation private --pid --fork --kill-child \
    bash "$SRC/tools/check-release.sh" --in-namespace "$@"
}

mounts_under() {
  findmnt -rn -o TARGET | awk -v dir="$1" 'index($0, dir "/") == 1 || $0 == dir'
}

# Removes a root folder, never following a mount into the machine's own files.
remove_root() {
  local dir=$1
  [ -e "$dir" ] || return 0
  if [ -n "$(mounts_under "$dir")" ]; then
    echo "check-release: mounts are left under $dir; not removing it:" >&2
    mounts_under "$dir" >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

if [ "$shell" = 1 ]; then
  [ -f "$work/$stamp" ] || {
    echo "check-release: no root of $release from an earlier run in $work" >&2
    exit 1
  }
  in_namespace "$work" "$@"
  exit $?
fi

# shellcheck source=tools/ci-steps.sh
source tools/ci-steps.sh
ci_begin "check-release $release"

timings=()
phase_started=$(date +%s)
phase_done() {
  local now
  now=$(date +%s)
  timings+=("$1 $((now - phase_started)) s")
  phase_started=$now
}

step="making the pristine root"
echo "== check-release $release: the pristine root in $base"
command -v debootstrap >/dev/null || bash tools/deps.sh debootstrap
mkdir -p "$cache" "$debs"
# One run at a time per release: a second one would remove the first one's root.
exec 9>"$cache/.lock"
if ! flock -n 9; then
  echo "Another check-release $release is running; waiting for it."
  flock 9
fi
base_ok() {
  [ -f "$base/$stamp" ] && [ "$(head -n 1 "$base/$stamp")" = "$recipe" ] &&
    [ -z "$(find "$base/$stamp" -mtime +30)" ] &&
    chroot "$base" /usr/bin/dpkg --audit >/dev/null 2>&1 &&
    [ -z "$(chroot "$base" /usr/bin/dpkg --audit 2>&1)" ] &&
    chroot "$base" /usr/bin/make --version >/dev/null 2>&1
}
if base_ok; then
  echo "Reusing it (made $(stat -c %y "$base/$stamp" | cut -d. -f1))."
else
  [ -e "$base" ] && echo "It is missing, broken, made otherwise or older than 30 days: making it again."
  remove_root "$base.new"
  debootstrap --variant=minbase --include=make "$release" "$base.new" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || {
    tail -n 20 "$cache/debootstrap.log"
    remove_root "$base.new" || true
    finish "FAIL: debootstrap $release from $mirror failed (log: $cache/debootstrap.log)"
    exit 1
  }
  echo "$recipe" >"$base.new/$stamp"
  remove_root "$base"
  mv "$base.new" "$base"
  echo "Made: $(chroot "$base" cat /etc/debian_version) ($(du -sh "$base" | cut -f1))."
fi
phase_done "root"

step="copying the root and the tree"
echo "== check-release $release: a fresh copy in $work, with the tree in /src"
remove_root "$work"
cp -a "$base" "$work.new"
mv "$work.new" "$work"
cp -L /etc/resolv.conf "$work/etc/resolv.conf" 2>/dev/null || true
mkdir "$work/src"
# Run through sudo, git would refuse a clone that belongs to the user.
git=(git -c safe.directory="$SRC" -C "$SRC")
if "${git[@]}" rev-parse --git-dir >/dev/null 2>&1; then
  # What git knows of (committed or not), nothing it ignores: no build folders.
  ("${git[@]}" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
    done | tar -C "$SRC" --null -T - -cf -) | tar -xf - -C "$work/src"
else
  tar -C "$SRC" --exclude='./build*' -cf - . | tar -xf - -C "$work/src"
fi
echo "$(find "$work/src" -type f | wc -l) files."
phase_done "copy"

# Inside the root: the new machine's set-up, the suite, the package. Each part prints a
# marker line with its status, so that one failing part does not hide the others.
inner='
echo "Debian $(cat /etc/debian_version) ($(uname -m))"
s=0; bash tools/deps.sh || s=$?; echo "@@deps $s $(date +%s)"
[ "$s" = 0 ] || exit 0
echo "Qt $(dpkg-query -W -f="\${Version}" qt6-base-dev), $(g++ --version | head -n 1), fontconfig $(dpkg-query -W -f="\${Version}" fontconfig 2>/dev/null || echo none)"
s=0; make test JOBS="$JOBS" || s=$?; echo "@@test $s $(date +%s)"
s=0; bash tools/check-package.sh || s=$?; echo "@@package $s $(date +%s)"
apt-get autoclean -q >/dev/null 2>&1 || true
'
step="running deps.sh, make test and check-package.sh inside the root"
echo "== check-release $release: tools/deps.sh, make test, tools/check-package.sh inside the root"
log=$cache/last-run.log
status=0
# Not a pipeline: the namespace's parent must be this script itself (see in_namespace).
in_namespace "$work" "$inner" > >(tee "$log") 2>&1 || status=$?
wait $! # tee, to the last line

marker() { awk -v m="@@$1" '$1 == m { print $2 }' "$log" | tail -n 1; }
deps_status=$(marker deps)
test_status=$(marker test)
package_status=$(marker package)
summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 || true)
package_line=$(grep -E '^check-package: (PASS|FAIL)' "$log" | tail -n 1 || true)
for part in deps test package; do
  at=$(awk -v m="@@$part" '$1 == m { print $3 }' "$log" | tail -n 1)
  if [ -n "$at" ]; then
    timings+=("$part $((at - phase_started)) s")
    phase_started=$at
  fi
done

rm -f "$cache"/quillmark_*.deb
for deb in "$work"/src/build-pkg/quillmark_*.deb; do
  [ -f "$deb" ] || continue
  cp "$deb" "$cache/"
  echo "The package for $release: $cache/$(basename "$deb") (Depends: $(dpkg-deb -f "$deb" Depends))"
done
leftover=$(mounts_under "$cache")
[ -z "$leftover" ] || echo "check-release: mounts left behind (a bug): $leftover" >&2

echo "== check-release $release: times: $(IFS=,; echo "${timings[*]}" | sed 's/,/, /g')"
echo "$release: ${summary:-no ctest summary}"
[ -n "$package_line" ] && echo "$release: $package_line"
if [ "$status" = 0 ] && [ "$deps_status" = 0 ] && [ "$test_status" = 0 ] &&
  [ "$package_status" = 0 ] && [ -z "$leftover" ]; then
  finish "PASS: make test and the package on Debian $(cat "$work/etc/debian_version")"
  exit 0
fi
finish "FAIL: deps.sh ${deps_status:-not run}, make test ${test_status:-not run}, check-package ${package_status:-not run} (exit status; log: $log)"
exit 1
