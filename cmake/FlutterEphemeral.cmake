# Builds the runner against a real Flutter Linux embedding and the real
# plug-ins of a Flutter project, laid out as the Flutter tool lays out the
# project's linux/ folder:
#
#   linux/flutter/ephemeral/                 FLUTTER_EPHEMERAL_DIR
#     flutter_linux/*.h, libflutter_linux_gtk.so, icudtl.dat
#     .plugin_symlinks/<plugin>/linux/       each plug-in's own CMake project
#   linux/flutter/generated_plugins.cmake    FLUTTER_PLUGIN_LIST and
#                                            FLUTTER_FFI_PLUGIN_LIST
#
# The Flutter tool's own Linux template includes generated_plugins.cmake from
# linux/, where its relative add_subdirectory paths hold. This tree sits
# elsewhere, so the two lists are read from the file and each plug-in is added
# from its absolute path, with the settings the template gives it.
if(NOT EXISTS "${FLUTTER_EPHEMERAL_DIR}/flutter_linux/flutter_linux.h")
  message(FATAL_ERROR
    "FLUTTER_EPHEMERAL_DIR has no flutter_linux/flutter_linux.h: ${FLUTTER_EPHEMERAL_DIR}")
endif()
get_filename_component(_quon_flutter_dir "${FLUTTER_EPHEMERAL_DIR}" DIRECTORY)
set(FLUTTER_GENERATED_PLUGINS "${_quon_flutter_dir}/generated_plugins.cmake"
    CACHE FILEPATH "The Flutter project's generated plug-in list")
if(NOT EXISTS "${FLUTTER_GENERATED_PLUGINS}")
  message(FATAL_ERROR
    "no generated plug-in list at ${FLUTTER_GENERATED_PLUGINS} (run flutter build linux "
    "or flutter pub get in the project, or set FLUTTER_GENERATED_PLUGINS)")
endif()

add_library(flutter INTERFACE)
target_include_directories(flutter INTERFACE "${FLUTTER_EPHEMERAL_DIR}")
target_link_libraries(flutter INTERFACE
  "${FLUTTER_EPHEMERAL_DIR}/libflutter_linux_gtk.so" PkgConfig::GTK)
file(COPY "${FLUTTER_EPHEMERAL_DIR}/libflutter_linux_gtk.so"
     DESTINATION "${QUON_BUNDLE_LIB_DIR}")

# What the template's plug-in projects call on their library.
function(apply_standard_settings target)
  target_compile_features(${target} PUBLIC cxx_std_14)
  target_compile_options(${target} PRIVATE -Wall -Werror)
  target_compile_options(${target} PRIVATE "$<$<NOT:$<CONFIG:Debug>>:-O3>")
  target_compile_definitions(${target} PRIVATE "$<$<NOT:$<CONFIG:Debug>>:NDEBUG>")
endfunction()

# _quon_read_plugin_list(OUT NAME): the members of list(APPEND NAME ...) in
# the generated file.
function(_quon_read_plugin_list out name)
  file(READ "${FLUTTER_GENERATED_PLUGINS}" text)
  set(members "")
  if(text MATCHES "list\\(APPEND ${name}([^)]*)\\)")
    string(REGEX REPLACE "[ \t\r\n]+" ";" members "${CMAKE_MATCH_1}")
    list(REMOVE_ITEM members "")
  endif()
  set(${out} "${members}" PARENT_SCOPE)
endfunction()

_quon_read_plugin_list(FLUTTER_PLUGIN_LIST FLUTTER_PLUGIN_LIST)
_quon_read_plugin_list(FLUTTER_FFI_PLUGIN_LIST FLUTTER_FFI_PLUGIN_LIST)

# Every library the bundle's lib/ needs from the plug-ins, as the template's
# PLUGIN_BUNDLED_LIBRARIES: each plug-in's own library and what it bundles.
set(QUON_PLUGIN_BUNDLED_LIBRARIES "")
foreach(plugin ${FLUTTER_PLUGIN_LIST} ${FLUTTER_FFI_PLUGIN_LIST})
  set(dir "${FLUTTER_EPHEMERAL_DIR}/.plugin_symlinks/${plugin}/linux")
  if(NOT EXISTS "${dir}/CMakeLists.txt")
    message(FATAL_ERROR "plug-in ${plugin} listed but not found at ${dir}")
  endif()
  add_subdirectory("${dir}" "${CMAKE_BINARY_DIR}/plugins/${plugin}")
  list(APPEND QUON_PLUGIN_BUNDLED_LIBRARIES ${${plugin}_bundled_libraries})
endforeach()
foreach(plugin ${FLUTTER_PLUGIN_LIST})
  quon_bundle_library(${plugin}_plugin)
  list(APPEND QUON_PLUGIN_BUNDLED_LIBRARIES "$<TARGET_FILE:${plugin}_plugin>")
endforeach()

# flutter_link_plugins(TARGET): the program links every listed plug-in, as the
# template links them to BINARY_NAME.
function(flutter_link_plugins target)
  foreach(plugin ${FLUTTER_PLUGIN_LIST})
    target_link_libraries(${target} PRIVATE ${plugin}_plugin)
  endforeach()
endfunction()
