#!/usr/bin/env bash
# The Debian package, built from a build directory with cpack, then installed
# and used as a user would:
#   - the package: its name, version, section and dependencies, and exactly
#     the program, its desktop files and the udev rule in it;
#   - installed with apt-get (as root, or through sudo): /usr/bin/ostrevin
#     --version; the installed desktop entry and metainfo validate;
#   - the installed program against the virtual stick from the build
#     directory, under Xvfb and the test sound server: the end-to-end start
#     and close test, and every file the running program has mapped comes
#     from a package its dependencies bring in (a missing run-time package,
#     a plugin above all, shows here and not only on a user's machine);
#   - removed again afterwards, so that nothing later finds /usr/bin/ostrevin
#     by accident.
# OSTREVIN_SKIP_PACKAGE_INSTALL=1 checks the package file only.
# Usage: installed_package.sh BUILD_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
app_id=io.github.ostrevin.Ostrevin
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=$build/ostrevin_${version}_${arch}.deb
fail() {
  echo "FAIL: $*"
  exit 1
}

rm -f "$deb"
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack -G DEB"; }
[ -f "$deb" ] || fail "cpack made no $deb"
echo "built $(basename "$deb") ($(du -k "$deb" | cut -f1) KB)"

# --- the package file
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ostrevin ] || fail "package name '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "package version '$(field Version)', expected $version"
[ "$(field Section)" = video ] || fail "section '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no maintainer"
depends=$(field Depends)
echo "Depends: $depends"
for needed in libc6 libqt6gui6 libqt6widgets6 libqt6multimedia6 libqt6openglwidgets6 libusb-1.0-0 \
  libavcodec59 libswscale6 libavfilter8; do
  grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed"
done
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected="./usr/bin/ostrevin
./usr/lib/udev/rules.d/60-ostrevin.rules
./usr/share/applications/$app_id.desktop
./usr/share/icons/hicolor/scalable/apps/$app_id.svg
./usr/share/metainfo/$app_id.metainfo.xml"
[ "$contents" = "$expected" ] || fail "the package holds"$'\n'"$contents"$'\n'"expected"$'\n'"$expected"
echo "package: the program, its desktop files and the udev rule; section video"

if [ "${OSTREVIN_SKIP_PACKAGE_INSTALL:-0}" = 1 ]; then
  echo "OSTREVIN_SKIP_PACKAGE_INSTALL=1: the package is not installed or run"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y "$deb" >"$build/package-install.log" 2>&1 ||
  { cat "$build/package-install.log"; fail "apt-get install $deb"; }
trap '$SUDO apt-get remove -y ostrevin >/dev/null 2>&1 || echo "could not remove the package ostrevin"' EXIT
echo "installed $(dpkg-query -W -f='${Package} ${Version}' ostrevin)"

# --- the installed program and files
printed=$(/usr/bin/ostrevin --version 2>&1) || fail "/usr/bin/ostrevin --version failed: $printed"
[ "$printed" = "ostrevin $version" ] || fail "/usr/bin/ostrevin --version printed '$printed', expected 'ostrevin $version'"
echo "/usr/bin/ostrevin --version: $printed"
issues=$(desktop-file-validate /usr/share/applications/$app_id.desktop 2>&1) && [ -z "$issues" ] ||
  fail "the installed desktop entry: $issues"
appstreamcli validate --no-net --strict /usr/share/metainfo/$app_id.metainfo.xml >/dev/null ||
  fail "the installed metainfo does not validate: $(appstreamcli validate --no-net /usr/share/metainfo/$app_id.metainfo.xml)"
[ -f /usr/lib/udev/rules.d/60-ostrevin.rules ] || fail "no udev rule in /usr/lib/udev/rules.d"
echo "installed desktop entry and metainfo validate; udev rule in /usr/lib/udev/rules.d"

# --- the installed program against the virtual stick, as CTest runs the end-to-end tests
emulator=$build/ostrevin-virtual-stick
x_window=$build/tests/x_window
in_x_with_sound() {
  xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" bash "$top/tests/support/with_pulse.sh" "$@"
}
in_x_with_sound bash "$top/tests/e2e/start_and_close.sh" /usr/bin/ostrevin "$emulator" "$x_window" ||
  fail "the end-to-end start and close test against /usr/bin/ostrevin"
echo "end-to-end start and close: passed against /usr/bin/ostrevin"

# What the running program loaded (libraries, Qt's platform, OpenGL and
# multimedia plugins, Mesa's driver), each file's package against the
# package's dependencies. The emulator's own preload library is its, not the
# program's; files no package owns (caches) and essential packages count as
# there, and so does libXcursor, which Qt's X11 plugin loads when it is
# installed for themed cursors and does without (X's own cursors) when not.
work=$(mktemp -d)
trap 'rm -rf "$work"; $SUDO apt-get remove -y ostrevin >/dev/null 2>&1 || echo "could not remove the package ostrevin"' EXIT
cat >"$work/mapped.sh" <<EOF
source "$top/tests/support/x_session.sh"
e2e_session /usr/bin/ostrevin "$emulator" "$x_window"
"\$emulator" -- bash -c 'echo \$\$ >"$work/pid"; exec /usr/bin/ostrevin' >"\$work/run.log" 2>&1 &
pid=\$!
main_window >/dev/null || { cat "\$work/run.log"; fail "no main window"; }
sleep 2  # streaming, the sound preview playing
awk '\$6 ~ /^\// {print \$6}' "/proc/\$(cat "$work/pid")/maps" | sort -u >"$work/maps"
"\$x_window" close "\$(main_window)"
wait_exit \$pid || fail "the window did not close"
pid=""
EOF
in_x_with_sound bash "$work/mapped.sh" || fail "could not run /usr/bin/ostrevin to see what it loads"
apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances ostrevin | grep -v '^ ' | sed 's/:.*//' | sort -u >"$work/closure"
missing=""
while read -r file; do
  case $file in *libumockdev-preload* | */libXcursor.so*) continue ;; esac
  owner=$(dpkg -S "$file" 2>/dev/null || dpkg -S "$(realpath "$file")" 2>/dev/null ||
    dpkg -S "${file#/usr}" 2>/dev/null) || continue
  owner=${owner%%:*}
  grep -qx "$owner" "$work/closure" && continue
  [ "$(dpkg-query -W -f='${Essential}' "$owner")" = yes ] && continue
  missing+="$owner ($file)"$'\n'
done <"$work/maps"
[ -z "$missing" ] || fail "the running program loaded files of packages its dependencies do not bring:"$'\n'"$missing"
echo "the running program's $(wc -l <"$work/maps") mapped files all come from its dependencies"
