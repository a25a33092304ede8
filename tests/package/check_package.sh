#!/usr/bin/env bash
# Makes the Debian package of a build folder with CPack and checks it the way
# a distribution would: its files, its dependencies, the desktop entry, the
# AppStream metadata, the polkit action, the manual pages and lintian.
#   check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/vantrel_*.deb)

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for f in /usr/bin/vantrel /usr/bin/vantrel-cli /usr/bin/kobrel \
         /usr/share/applications/org.vantrel.vantrel.desktop \
         /usr/share/metainfo/org.vantrel.vantrel.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/vantrel.svg \
         /usr/share/icons/hicolor/16x16/apps/vantrel.png /usr/share/icons/hicolor/48x48/apps/vantrel.png \
         /usr/share/icons/hicolor/256x256/apps/vantrel.png \
         /usr/share/polkit-1/actions/org.vantrel.vantrel.policy \
         /usr/share/man/man1/vantrel.1.gz /usr/share/man/man1/vantrel-cli.1.gz /usr/share/man/man1/kobrel.1.gz \
         /usr/share/doc/vantrel/copyright; do
  grep -qx "$f" "$work/files" || fail "$f is not in the package"
done
# Nothing outside /usr, nothing of the build or the tests.
if grep -v '^/usr/' "$work/files" | grep -v '^/$' | grep -q .; then fail "files outside /usr"; fi
if grep -Eq 'test|fixture|\.a$|/include/' "$work/files"; then fail "build or test files in the package"; fi

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6dbus6 libcurl4 libblkid1 libc6; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/org.vantrel.vantrel.desktop"
appstreamcli validate --no-net --pedantic "$work/root/usr/share/metainfo/org.vantrel.vantrel.metainfo.xml"
policy="$work/root/usr/share/polkit-1/actions/org.vantrel.vantrel.policy"
xmllint --noout "$policy"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/bin/vantrel</annotate>' "$policy" ||
  fail "the polkit action does not name /usr/bin/vantrel"
for page in vantrel vantrel-cli kobrel; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man page $page: $out"
done
"$work/root/usr/bin/vantrel-cli" --help >/dev/null
"$work/root/usr/bin/kobrel" --help >/dev/null

if command -v lintian >/dev/null; then
  # Errors fail the check; warnings are shown.
  timeout 180 lintian --allow-root --fail-on error "$deb" || fail "lintian"
fi
echo "package $(basename "$deb") checked"
