#!/usr/bin/env bash
# CI step for the Debian package: tools/check-package.sh [BUILD_DIR]  (default build-pkg)
#
# Installs the tools it needs when they are missing, validates the desktop entry and
# the AppStream metainfo, builds (Release, Debian's hardening flags) and packages the
# project with CPack, runs lintian on the .deb (failing on errors only), installs the
# .deb with apt-get, and tries the installed programs: `quillmark-sim --help`,
# `quillmark-cli --help`, `quillmark` on the offscreen platform, which must still be
# running after a few seconds, and `quillmark` under Xvfb (tools/check-window.sh: the window, its taskbar
# request, a screenshot in BUILD_DIR/installed-window.png, and the captions' fit in the
# installed font). Last, it checks the installed desktop entry, metainfo, icons and docs.
#
# Runs as root, or through sudo for the installing steps. The package stays
# installed afterwards (remove it with `apt-get remove quillmark`).
# Ends with one line "check-package: PASS ..." or "check-package: FAIL: ..." and a
# non-zero exit status on any failure.
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${1:-build-pkg}
case $BUILD in /*) ;; *) BUILD=$SRC/$BUILD ;; esac

APP_ID=org.quillmark.quillmark
START_SECONDS=${QUILLMARK_START_SECONDS:-3}

tools=(
  # building
  cmake ninja-build g++ pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libxcb1-dev
  libmodbus-dev libudev-dev
  # validating and packaging
  desktop-file-utils appstream lintian dpkg-dev file gzip binutils
  # running the installed programs
  coreutils apt xvfb xauth x11-utils imagemagick xdotool
)

current_step="starting"
fail() {
  echo "check-package: FAIL: $*" >&2
  exit 1
}
on_error() {
  local status=$?
  echo "check-package: FAIL: ${current_step} (exit status ${status})" >&2
  exit "$status"
}
trap on_error ERR
step() {
  current_step=$*
  echo
  echo "== $*"
}

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || fail "not root and no sudo: cannot install packages"
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

step "Installing missing tools"
missing=()
for p in "${tools[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "All present."
fi

step "Validating the desktop entry and the metainfo"
desktop-file-validate "packaging/$APP_ID.desktop"
appstreamcli validate --pedantic --explain --no-net "packaging/$APP_ID.metainfo.xml"

step "Configuring and building (Release) in $BUILD"
# Debian's hardening flags (fortified functions, stack protector, full RELRO).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cxxflags=${cxxflags//-g /} # stripped anyway
ldflags=$(dpkg-buildflags --get LDFLAGS)
generator=()
[ -f "$BUILD/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S "$SRC" -B "$BUILD" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
cmake --build "$BUILD" -j 2
for target in quillmark quillmark-cli quillmark-sim; do
  current_step="checking the build target $target"
  if ! cmake --build "$BUILD" --target "$target" >/dev/null 2>&1; then
    fail "the build defines no target $target (it belongs in $(case $target in quillmark) echo app ;; quillmark-cli) echo cli ;; *) echo sim ;; esac)/CMakeLists.txt, with an install rule)"
  fi
done

step "Building the .deb with CPack"
rm -f "$BUILD"/quillmark_*.deb "$BUILD"/quillmark_*.deb.sha256
(cd "$BUILD" && cpack -G DEB)
debs=("$BUILD"/quillmark_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single quillmark_*.deb in $BUILD"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "quillmark_${version}_${arch}.deb" ] ||
  fail "package file $(basename "$deb") is not named quillmark_${version}_${arch}.deb"
metainfo_version=$(grep -m1 -o '<release [^>]*version="[^"]*"' "packaging/$APP_ID.metainfo.xml" |
  sed 's/.*version="\([^"]*\)"/\1/')
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[ "$metainfo_version" = "$version" ] ||
  fail "newest release in the metainfo is '$metainfo_version', the package is $version"
[ "$changelog_version" = "$version" ] ||
  fail "newest entry in packaging/changelog is '$changelog_version', the package is $version"
echo "Package: $(basename "$deb")"
dpkg-deb -f "$deb" Depends Recommends Section
# dpkg-shlibdeps computes the shared libraries' packages, so the name fits each release.
dpkg-deb -f "$deb" Depends | grep -qE '(^|, )libmodbus[0-9]+ ' ||
  fail "the package does not depend on libmodbus's runtime package (dpkg-shlibdeps)"
dpkg-deb -f "$deb" Depends | grep -qE '(^|, )libudev1 ' ||
  fail "the package does not depend on libudev's runtime package (dpkg-shlibdeps)"

step "Checking the package contents"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dpkg-deb -x "$deb" "$stage"
expected=(
  usr/bin/quillmark
  usr/bin/quillmark-cli
  usr/bin/quillmark-sim
  "usr/share/applications/$APP_ID.desktop"
  "usr/share/metainfo/$APP_ID.metainfo.xml"
  usr/share/icons/hicolor/16x16/apps/quillmark.png
  usr/share/icons/hicolor/32x32/apps/quillmark.png
  usr/share/icons/hicolor/48x48/apps/quillmark.png
  usr/share/icons/hicolor/scalable/apps/quillmark.svg
  usr/share/man/man1/quillmark.1.gz
  usr/share/man/man1/quillmark-cli.1.gz
  usr/share/man/man1/quillmark-sim.1.gz
  usr/share/doc/quillmark/copyright
  usr/share/doc/quillmark/changelog.gz
)
for f in "${expected[@]}"; do
  [ -f "$stage/$f" ] || fail "the package lacks /$f"
done
# The desktop entry, its icon and the metainfo as a whole, as software centres see them.
appstreamcli validate-tree --pedantic --no-net "$stage"

step "Running lintian (failing on errors only)"
lintian_out=$(mktemp)
trap 'rm -rf "$stage" "$lintian_out"' EXIT
lintian_status=0
lintian --display-info --fail-on error "$deb" >"$lintian_out" 2>&1 || lintian_status=$?
cat "$lintian_out"
errors=$(grep -c '^E: ' "$lintian_out" || true)
warnings=$(grep -c '^W: ' "$lintian_out" || true)
infos=$(grep -c '^I: ' "$lintian_out" || true)
echo "lintian: $errors errors, $warnings warnings, $infos infos"
[ "$lintian_status" -eq 0 ] && [ "$errors" -eq 0 ] ||
  fail "lintian found errors in $(basename "$deb") (status $lintian_status)"

step "Installing the package"
# --reinstall: a package of the same version may be installed already.
"${as_root[@]}" apt-get install -y -q --reinstall "$deb"
[ "$(dpkg-query -W -f='${Version}' quillmark)" = "$version" ] ||
  fail "dpkg does not list quillmark $version as installed"

step "Running /usr/bin/quillmark-sim --help"
help_out=$(/usr/bin/quillmark-sim --help) || fail "/usr/bin/quillmark-sim --help exited with status $?"
grep -q '^Usage: ' <<<"$help_out" && grep -q -- '--port' <<<"$help_out" ||
  fail "/usr/bin/quillmark-sim --help printed no usage: $help_out"
head -n 3 <<<"$help_out"

step "Running /usr/bin/quillmark-cli --help"
help_out=$(/usr/bin/quillmark-cli --help) || fail "/usr/bin/quillmark-cli --help exited with status $?"
grep -q '^Usage: ' <<<"$help_out" && grep -q '^Exit status:' <<<"$help_out" ||
  fail "/usr/bin/quillmark-cli --help printed no usage and exit codes: $help_out"
# The companion must run where no widget library is installed.
if ldd /usr/bin/quillmark-cli | grep -q 'libQt6Widgets'; then
  fail "/usr/bin/quillmark-cli links Qt Widgets"
fi
head -n 3 <<<"$help_out"

step "Starting /usr/bin/quillmark offscreen for ${START_SECONDS}s"
app_status=0
QT_QPA_PLATFORM=offscreen timeout "$START_SECONDS" /usr/bin/quillmark || app_status=$?
case $app_status in
  124) echo "Still running after ${START_SECONDS}s: started." ;;
  0) fail "/usr/bin/quillmark quit by itself instead of showing its window" ;;
  *) fail "/usr/bin/quillmark failed with exit status $app_status" ;;
esac

step "Starting /usr/bin/quillmark under Xvfb: window, taskbar request, screenshot, fit"
# The dependency on fonts-dejavu-extra gives the window the font its layout is drawn for.
QUILLMARK_EXPECT_FONT="DejaVu Sans Condensed 11px" \
  bash tools/check-window.sh /usr/bin/quillmark "$BUILD/installed-window.png" ||
  fail "the installed window failed its check under Xvfb"

step "Checking the installed files"
for f in "${expected[@]}"; do
  [ -f "/$f" ] || fail "/$f is not installed"
done
[ -x /usr/bin/quillmark ] && [ -x /usr/bin/quillmark-cli ] && [ -x /usr/bin/quillmark-sim ] ||
  fail "the programs are not executable"
desktop-file-validate "/usr/share/applications/$APP_ID.desktop"
appstreamcli validate --no-net "/usr/share/metainfo/$APP_ID.metainfo.xml" >/dev/null ||
  fail "the installed metainfo does not validate"
icons=/usr/share/icons/hicolor
for size in 16 32 48; do
  kind=$(file -b "$icons/${size}x${size}/apps/quillmark.png")
  [[ $kind == "PNG image data, $size x $size,"* ]] ||
    fail "$icons/${size}x${size}/apps/quillmark.png is not a ${size}x${size} PNG: $kind"
done
kind=$(file -b "$icons/scalable/apps/quillmark.svg")
[[ $kind == *SVG* ]] || fail "$icons/scalable/apps/quillmark.svg is not an SVG image: $kind"

current_step="done"
echo
echo "check-package: PASS $(basename "$deb") installed and started (lintian: $errors errors, $warnings warnings, $infos infos)"
