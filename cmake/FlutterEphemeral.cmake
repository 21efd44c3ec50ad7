# Builds the runner against a real Flutter Linux embedding, laid out as the
# Flutter tool lays out linux/flutter/ephemeral: flutter_linux/*.h and
# libflutter_linux_gtk.so side by side.
if(NOT EXISTS "${FLUTTER_EPHEMERAL_DIR}/flutter_linux/flutter_linux.h")
  message(FATAL_ERROR
    "FLUTTER_EPHEMERAL_DIR has no flutter_linux/flutter_linux.h: ${FLUTTER_EPHEMERAL_DIR}")
endif()
add_library(flutter INTERFACE)
target_include_directories(flutter INTERFACE "${FLUTTER_EPHEMERAL_DIR}")
target_link_libraries(flutter INTERFACE
  "${FLUTTER_EPHEMERAL_DIR}/libflutter_linux_gtk.so" PkgConfig::GTK)
file(COPY "${FLUTTER_EPHEMERAL_DIR}/libflutter_linux_gtk.so"
     DESTINATION "${QUON_BUNDLE_LIB_DIR}")
install(FILES "${FLUTTER_EPHEMERAL_DIR}/libflutter_linux_gtk.so"
        DESTINATION "${QUON_INSTALL_BUNDLE_DIR}/lib")
