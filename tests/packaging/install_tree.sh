#!/usr/bin/env bash
# What `cmake --install` lays down, into a scratch directory (DESTDIR):
#   - for the prefix /usr, as the package does: exactly the program, the
#     desktop entry, the metainfo, the icon and the udev rule in
#     /usr/lib/udev/rules.d, nothing of the tests or the virtual stick;
#   - for /usr/local: the udev rule in /etc/udev/rules.d, where udev reads it;
#   - the installed files agree with each other: the metainfo's launchable is
#     the installed desktop entry (appstreamcli validate-tree), the entry
#     names the installed icon, and the metainfo's newest release is the
#     project's version.
# Usage: install_tree.sh BUILD_DIR VERSION
set -uo pipefail
build=$(realpath "$1") version=$2
app_id=io.github.ostrevin.Ostrevin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

install_to() {
  DESTDIR=$work/$1 cmake --install "$build" --prefix "$2" >"$work/$1.log" 2>&1 ||
    { cat "$work/$1.log"; echo "FAIL: cmake --install --prefix $2"; exit 1; }
  (cd "$work/$1" && find . -type f -o -type l | sort)
}

# --- the prefix /usr, as in the package
listed=$(install_to usr /usr)
expected="./usr/bin/ostrevin
./usr/lib/udev/rules.d/60-ostrevin.rules
./usr/share/applications/$app_id.desktop
./usr/share/icons/hicolor/scalable/apps/$app_id.svg
./usr/share/metainfo/$app_id.metainfo.xml"
if [ "$listed" = "$expected" ]; then
  echo "prefix /usr: the program, its desktop files and the udev rule, nothing else"
else
  fail "prefix /usr installs"$'\n'"$listed"$'\n'"expected"$'\n'"$expected"
fi

# --- any other prefix: the rule where the administrator's rules live
listed=$(install_to local /usr/local)
if grep -qx ./etc/udev/rules.d/60-ostrevin.rules <<<"$listed" && grep -qx ./usr/local/bin/ostrevin <<<"$listed" &&
  ! grep -q "lib/udev" <<<"$listed"; then
  echo "prefix /usr/local: the udev rule in /etc/udev/rules.d"
else
  fail "prefix /usr/local installs"$'\n'"$listed"
fi

# --- the installed files agree with each other
share=$work/usr/usr/share
if appstreamcli validate-tree --no-net --strict "$work/usr" >"$work/tree.txt" 2>&1; then
  echo "appstreamcli validate-tree: the metainfo and its desktop entry agree"
else
  cat "$work/tree.txt"
  fail "appstreamcli validate-tree"
fi
icon=$(sed -n 's/^Icon=//p' "$share/applications/$app_id.desktop")
[ -f "$share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon '$icon' is not installed"
release=$(grep -o '<release version="[^"]*"' "$share/metainfo/$app_id.metainfo.xml" | head -n 1 | cut -d'"' -f2)
[ "$release" = "$version" ] || fail "the metainfo's newest release is '$release', the project's version $version"
echo "desktop entry names icon $icon; newest release $release"
exit $status
