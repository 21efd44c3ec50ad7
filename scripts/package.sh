#!/bin/bash
# The Debian package, made from the default build and checked:
#
#   bash scripts/package.sh [--no-build] [--version V] [--no-check]
#                           [--update-contents]
#
# builds the default preset (unless --no-build), makes
# build/default/package/quon-vpn_<version>_<arch>.deb with CPack's DEB
# generator (cpack --config build/default/CPackConfig.cmake; --version V
# packages the same build with version V instead of the project's), then
# checks what it made (unless --no-check):
#   - lintian: no error and no warning beyond the package's own overrides;
#   - the shipped desktop entry (desktop-file-validate) and AppStream
#     metadata (appstreamcli validate, without the network);
#   - every path, owner and mode in the archive against
#     packaging/deb/contents.txt, so that a file that appears, goes or
#     changes mode fails (--update-contents writes the list anew).
# The path of the package is the last line printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$root/build/default
contents=$root/packaging/deb/contents.txt
build=1
check=1
update=0
version=
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build=0 ;;
    --no-check) check=0 ;;
    --update-contents) update=1 ;;
    --version)
      version=${2:?--version needs a value}
      shift
      ;;
    *)
      echo "package.sh: unknown argument $1" >&2
      exit 2
      ;;
  esac
  shift
done

cd "$root"
[ "$build" = 0 ] || bash scripts/build.sh default
[ -f "$build_dir/CPackConfig.cmake" ] || {
  echo "package.sh: $build_dir is not configured (cmake --preset default)" >&2
  exit 1
}
out=$build_dir/package
mkdir -p "$out"
log=$out/cpack.log
# The version travels in the environment to packaging/deb/deb_version.cmake,
# which also writes it into the changelog and the manual page.
if ! QUON_DEB_VERSION=$version cpack --config "$build_dir/CPackConfig.cmake" >"$log" 2>&1; then
  cat "$log" >&2
  echo "package.sh: cpack failed" >&2
  exit 1
fi
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  cat "$log" >&2
  echo "package.sh: cpack named no package" >&2
  exit 1
fi
echo "made $deb"
[ "$check" = 1 ] || {
  echo "$deb"
  exit 0
}

status=0
# The archive's entries as "mode owner/group path[ -> target]", without the
# sizes and times that change with every build.
listing() {
  dpkg-deb -c "$1" | awk '{ $3 = ""; $4 = ""; $5 = ""; print }' | tr -s ' ' | sort -k3
}
if [ "$update" = 1 ]; then
  {
    echo "# Every entry of the package (scripts/package.sh compares): mode owner/group path"
    listing "$deb"
  } >"$contents"
  echo "wrote $contents"
fi
# A build against a real Flutter embedding adds the app's own lib/ and
# data/, which the list (of this repository's build) cannot know: those are
# left out of the comparison, and none of them may be set-user-id,
# set-group-id or writable by others.
bundle_extra='^[^ ]+ [^ ]+ \./opt/quon_vpn/(lib|data)/'
real=$(sed -n 's/^FLUTTER_EPHEMERAL_DIR:PATH=//p' "$build_dir/CMakeCache.txt")
expected() { grep -v '^#' "$contents"; }
actual() { listing "$deb"; }
if [ -n "$real" ]; then
  expected() { grep -v '^#' "$contents" | grep -Ev "$bundle_extra"; }
  actual() { listing "$deb" | grep -Ev "$bundle_extra"; }
  if listing "$deb" | grep -E "$bundle_extra" | grep -E '^.{3}[sS]|^.{6}[sS]|^.{8}w' >&2; then
    echo "FAIL the app's lib/ or data/ holds set-id or world-writable entries (above)" >&2
    status=1
  fi
fi
if diff -u <(expected) <(actual) >"$out/contents.diff"; then
  echo "PASS contents and modes as in packaging/deb/contents.txt${real:+ (lib/ and data/ of the app aside)}"
else
  echo "FAIL the package's entries differ from packaging/deb/contents.txt:" >&2
  cat "$out/contents.diff" >&2
  status=1
fi

# lintian warns when run as root, which CI is; the package is what counts.
# (With --show-overrides it would count the overridden tags as failures, so
# the overrides are listed by a second run, for the log.)
if lintian --fail-on error,warning "$deb" >"$out/lintian.log" 2>&1; then
  lintian --show-overrides "$deb" >"$out/lintian-overrides.log" 2>&1 || true
  echo "PASS lintian (overridden, as packaging/deb/quon-vpn.lintian-overrides says why:" \
    "$(sed -n 's/^O: quon-vpn: \([^ ]*\).*/\1/p' "$out/lintian-overrides.log" | sort | uniq -c |
      awk '{printf "%s%s x%s", sep, $2, $1; sep=", "}'))"
else
  echo "FAIL lintian:" >&2
  cat "$out/lintian.log" >&2
  status=1
fi

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
if desktop-file-validate "$tree"/usr/share/applications/*.desktop >"$out/desktop.log" 2>&1 &&
  [ ! -s "$out/desktop.log" ]; then
  echo "PASS desktop-file-validate"
else
  echo "FAIL desktop-file-validate:" >&2
  cat "$out/desktop.log" >&2
  status=1
fi
if appstreamcli validate --no-net --pedantic "$tree"/usr/share/metainfo/*.metainfo.xml \
  >"$out/appstream.log" 2>&1; then
  echo "PASS appstreamcli validate ($(tail -n 1 "$out/appstream.log"))"
else
  echo "FAIL appstreamcli validate:" >&2
  cat "$out/appstream.log" >&2
  status=1
fi
[ "$status" = 0 ] || exit "$status"
echo "$deb"
