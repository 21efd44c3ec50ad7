# Test registration. Every test may exit 77 to say that it cannot run here
# (CTest's SKIP_RETURN_CODE); scripts/test.sh turns such a skip into a failure
# when the variable CI is set.
#
# SANDBOX runs the test in new mount and PID namespaces with private /tmp and
# /run (tests/lib/sandbox.sh); NET adds a new network namespace with its own
# /sys. Both need root: without it the wrapper exits 77 with its reason.
find_package(GTest REQUIRED)
include(GoogleTest)

set(QUON_SANDBOX "${PROJECT_SOURCE_DIR}/tests/lib/sandbox.sh")
set(QUON_TEST_ENV
  "QUON_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
  "QUON_BUILD_DIR=${PROJECT_BINARY_DIR}"
  "QUON_BUNDLE_DIR=${QUON_BUNDLE_DIR}"
  "QUON_SANITIZE=${QUON_SANITIZE}")

# The wrapper words in front of a test's command, from the SANDBOX and NET
# values that the caller's cmake_parse_arguments already gave.
function(_quon_sandbox_prefix out sandbox net)
  set(prefix "")
  if(net)
    set(prefix "${QUON_SANDBOX}" --net --)
  elseif(sandbox)
    set(prefix "${QUON_SANDBOX}" --)
  endif()
  set(${out} "${prefix}" PARENT_SCOPE)
endfunction()

# quon_add_gtest(NAME SOURCES ... [LIBS ...] [SANDBOX] [NET] [LABELS ...]
#                [TIMEOUT s] [RUN_SERIAL])
# One executable; each test case becomes its own CTest test.
function(quon_add_gtest name)
  cmake_parse_arguments(Q "SANDBOX;NET;RUN_SERIAL" "TIMEOUT"
                        "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${Q_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main
                        Threads::Threads ${Q_LIBS})
  _quon_sandbox_prefix(prefix "${Q_SANDBOX}" "${Q_NET}")
  if(NOT Q_TIMEOUT)
    set(Q_TIMEOUT 120)
  endif()
  # The discovery script flattens list-valued properties (only the first
  # variable of ENVIRONMENT would survive), so the environment travels on
  # the command line in front of the sandbox wrapper instead.
  set(props SKIP_RETURN_CODE 77 TIMEOUT ${Q_TIMEOUT})
  if(Q_LABELS)
    list(APPEND props LABELS "${Q_LABELS}")
  endif()
  if(Q_RUN_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  # gtest_discover_tests takes the wrapper from this target property.
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
                        "/usr/bin/env;${QUON_TEST_ENV};${prefix}")
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ${props})
endfunction()

# quon_add_script_test(NAME SCRIPT [ARGS ...] [SANDBOX] [NET] [LABELS ...]
#                      [TIMEOUT s] [RUN_SERIAL] [DEPENDS targets...])
function(quon_add_script_test name)
  cmake_parse_arguments(Q "SANDBOX;NET;RUN_SERIAL" "SCRIPT;TIMEOUT"
                        "ARGS;LABELS" ${ARGN})
  _quon_sandbox_prefix(prefix "${Q_SANDBOX}" "${Q_NET}")
  if(NOT Q_TIMEOUT)
    set(Q_TIMEOUT 300)
  endif()
  add_test(NAME ${name}
           COMMAND ${prefix} bash "${Q_SCRIPT}" ${Q_ARGS})
  set_tests_properties(${name} PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT ${Q_TIMEOUT}
    ENVIRONMENT "${QUON_TEST_ENV}" LABELS "${Q_LABELS}")
  if(Q_RUN_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()
