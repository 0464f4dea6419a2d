find_package(GTest REQUIRED)
include(GoogleTest)

# nuvex_add_test_dir(DIR <dir> LIBS <targets...> LABELS <labels...> [WRAP <command...>] [TIMEOUT s])
# Builds one test program per *_test.cpp file in DIR, so that a broken test
# file of one area never stops the others from building.
function(nuvex_add_test_dir)
  cmake_parse_arguments(T "" "DIR;TIMEOUT" "LIBS;LABELS;WRAP" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${T_DIR}/*_test.cpp)
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
    if(T_WRAP)
      add_test(NAME ${target} COMMAND ${T_WRAP} $<TARGET_FILE:${target}>)
      set_tests_properties(${target} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
    else()
      gtest_discover_tests(${target}
        PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
    endif()
  endforeach()
endfunction()
