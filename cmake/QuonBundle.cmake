# Puts an executable into the bundle directory with the run path $ORIGIN/lib.
function(quon_bundle_executable target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${QUON_BUNDLE_DIR}"
    BUILD_RPATH "$ORIGIN/lib"
    INSTALL_RPATH "$ORIGIN/lib")
endfunction()

# Puts a shared library into the bundle's lib/ directory. It finds its
# neighbours there through $ORIGIN in the build tree and once installed
# alike, so installing copies it unchanged.
function(quon_bundle_library target)
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY "${QUON_BUNDLE_LIB_DIR}"
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN")
endfunction()
