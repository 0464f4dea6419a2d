find_package(GTest REQUIRED)
include(GoogleTest)

# Every test runs through cmake/test-env.sh: a fresh HOME and XDG folders under
# the build tree, no session bus and no display. A test added with a plain
# add_test() gets the same by putting ${NUVEX_TEST_ENV_COMMAND} in front of its
# command.
set(NUVEX_TEST_ENV_ROOT ${PROJECT_BINARY_DIR}/test-env)
set(NUVEX_TEST_ENV_COMMAND ${PROJECT_SOURCE_DIR}/cmake/test-env.sh ${NUVEX_TEST_ENV_ROOT})
if(NUVEX_SANITIZE)
  # Defaults only: options already set in the environment win. The leak
  # suppressions cover libraries outside this tree, each with its reason.
  list(APPEND NUVEX_TEST_ENV_COMMAND
    ASAN_OPTIONS=detect_leaks=1
    LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
endif()
list(APPEND NUVEX_TEST_ENV_COMMAND --)

# nuvex_add_test_dir(DIR <dir> LIBS <targets...> LABELS <labels...> [WRAP <command...>] [TIMEOUT s]
#                    [PCH_QT <Qt modules...>])
# Builds one test program per *_test.cpp file in DIR, so that a broken test
# file of one area never stops the others from building. The programs of one
# folder share one precompiled header: the standard headers, GoogleTest and the
# module headers of the Qt modules in PCH_QT (which LIBS must bring in).
function(nuvex_add_test_dir)
  cmake_parse_arguments(T "" "DIR;TIMEOUT" "LIBS;LABELS;WRAP;PCH_QT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${T_DIR}/*_test.cpp)
  list(LENGTH sources count)
  set(donor)
  foreach(src ${sources})
    get_filename_component(name ${src} NAME_WE)
    get_filename_component(area ${T_DIR} NAME)
    set(target t_${area}_${name})
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE nuvex_flags ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
    target_compile_definitions(${target} PRIVATE
      NUVEX_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
      NUVEX_BINARY_DIR="${PROJECT_BINARY_DIR}"
      NUVEX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    if(count GREATER 1)
      if(donor)
        nuvex_precompile_reuse(${target} ${donor})
      else()
        set(donor ${target})
        nuvex_precompile(${target} GTEST QT ${T_PCH_QT})
      endif()
    endif()
    if(T_WRAP)
      add_test(NAME ${target} COMMAND ${NUVEX_TEST_ENV_COMMAND} ${T_WRAP} $<TARGET_FILE:${target}>)
      set_tests_properties(${target} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
    else()
      # The test discovery hands every test case and the listing run itself to
      # the emulator, so each case gets its own private folders.
      set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${NUVEX_TEST_ENV_COMMAND}")
      gtest_discover_tests(${target}
        PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
    endif()
  endforeach()
endfunction()
