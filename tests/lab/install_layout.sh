#!/bin/bash
# What cmake --install puts where, into scratch DESTDIRs inside this sandbox:
#   - a plain install is the product alone, each file installed once;
#   - the component "standin" is the stand-in embedding, plug-ins and quonctl;
#   - configured against a Flutter project's ephemeral directory (made here
#     from the stand-in's headers and library, with a generated plug-in list
#     naming the two plug-ins), the install script takes the embedding and
#     the plug-ins from there and names no stand-in.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check nonet
require_cmd cmake

bundle=$(sed -n 's/^QUON_INSTALL_BUNDLE_DIR:PATH=//p' "$QUON_BUILD_DIR/CMakeCache.txt")
helper=$(sed -n 's/^QUON_INSTALL_HELPER_DIR:PATH=//p' "$QUON_BUILD_DIR/CMakeCache.txt")
standin_on=$(sed -n 's/^QUON_INSTALL_STANDIN:BOOL=//p' "$QUON_BUILD_DIR/CMakeCache.txt")
[ -n "$bundle" ] && [ -n "$helper" ] || fail "install directories not in the cache"
[ "$standin_on" = OFF ] || skip "this build installs the stand-ins by default"

# install_into DIR [ARGS...]: the list of installed files, and a check that
# no file was installed twice.
install_into() {
  local dir=$1
  shift
  DESTDIR=$dir cmake --install "$QUON_BUILD_DIR" "$@" >"$dir.log" 2>&1 ||
    fail "cmake --install $*: $(cat "$dir.log")"
  local twice
  twice=$(sed -n 's/^-- Installing: //p' "$dir.log" | sort | uniq -d)
  [ -z "$twice" ] || fail "installed more than once: $twice"
  (cd "$dir" && find . -type f | sed 's/^\.//' | sort)
}

product="$bundle/quon_vpn
$bundle/quon_vpn_watch
$helper/pathwarden
/usr/share/applications/com.korvaline.quonvpn.desktop"
assert_eq "$(sort <<<"$product")" "$(install_into /tmp/plain)" "plain install"
assert_eq "root 4755" "$(stat -c '%U %a' "/tmp/plain$helper/pathwarden")" "helper owner and mode"

standin="$bundle/lib/libflutter_linux_gtk.so
$bundle/lib/libflutter_secure_storage_linux_plugin.so
$bundle/lib/liburl_launcher_linux_plugin.so
$bundle/quonctl"
assert_eq "$(sort <<<"$standin")" "$(install_into /tmp/standin --component standin)" \
  "component standin"

# A Flutter project's linux/flutter/ as the Flutter tool lays it out.
proj=/tmp/app/linux/flutter
eph=$proj/ephemeral
mkdir -p "$eph"
cp -r "$QUON_SOURCE_DIR/standins/flutter_embedding/include/flutter_linux" "$eph/"
cp "$QUON_BUNDLE_DIR/lib/libflutter_linux_gtk.so" "$eph/"
: >"$eph/icudtl.dat"
for p in flutter_secure_storage_linux url_launcher_linux; do
  d=$eph/.plugin_symlinks/$p/linux
  mkdir -p "$d"
  cp -r "$QUON_SOURCE_DIR/standins/plugins/$p/." "$d/"
  cat >"$d/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.10)
project($p LANGUAGES C CXX)
set(PLUGIN_NAME "\${PROJECT_NAME}_plugin")
add_library(\${PLUGIN_NAME} SHARED "\${PLUGIN_NAME}.c")
apply_standard_settings(\${PLUGIN_NAME})
target_compile_definitions(\${PLUGIN_NAME} PRIVATE FLUTTER_PLUGIN_IMPL)
target_include_directories(\${PLUGIN_NAME} PUBLIC "\${CMAKE_CURRENT_SOURCE_DIR}/include")
target_link_libraries(\${PLUGIN_NAME} PRIVATE flutter PkgConfig::GTK)
set(${p}_bundled_libraries "" PARENT_SCOPE)
EOF
done
cat >"$proj/generated_plugins.cmake" <<'EOF'
#
# Generated file, do not edit.
#

list(APPEND FLUTTER_PLUGIN_LIST
  flutter_secure_storage_linux
  url_launcher_linux
)

list(APPEND FLUTTER_FFI_PLUGIN_LIST
)

set(PLUGIN_BUNDLED_LIBRARIES)

foreach(plugin ${FLUTTER_PLUGIN_LIST})
  add_subdirectory(flutter/ephemeral/.plugin_symlinks/${plugin}/linux plugins/${plugin})
  target_link_libraries(${BINARY_NAME} PRIVATE ${plugin}_plugin)
  list(APPEND PLUGIN_BUNDLED_LIBRARIES $<TARGET_FILE:${plugin}_plugin>)
  list(APPEND PLUGIN_BUNDLED_LIBRARIES ${${plugin}_bundled_libraries})
endforeach(plugin)
EOF

# Configuring is enough to read what the install would do.
cmake -S "$QUON_SOURCE_DIR" -B /tmp/real -G Ninja -DQUON_BUILD_TESTS=OFF \
  -DFLUTTER_EPHEMERAL_DIR="$eph" >/tmp/real.log 2>&1 ||
  fail "configure against the ephemeral directory: $(cat /tmp/real.log)"
scripts=$(cat /tmp/real/packaging/cmake_install.cmake)
assert_contains "$scripts" "$eph/libflutter_linux_gtk.so" "real embedding installed"
assert_contains "$scripts" "$eph/icudtl.dat" "ICU data installed"
for p in flutter_secure_storage_linux url_launcher_linux; do
  assert_contains "$scripts" "/tmp/real/bundle/lib/lib${p}_plugin.so" "plug-in $p installed"
  [ -e "/tmp/real/plugins/$p" ] || fail "plug-in $p not built from the generated list"
done
all=$(find /tmp/real -name cmake_install.cmake -exec cat {} +)
assert_not_contains "$all" "quonctl" "no quonctl"
assert_not_contains "$all" "bundle/lib/libflutter_linux_gtk.so" "no stand-in embedding"
assert_not_contains "$(cat /tmp/real/build.ninja)" "$QUON_SOURCE_DIR/standins/plugins/" "no stand-in plug-in built"
if [ -e /tmp/real/embedding ]; then fail "the stand-in embedding was configured"; fi
echo "install_layout: all passed"
