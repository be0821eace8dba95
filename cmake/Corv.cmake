# corv_library(<name> [EXCLUDE <file>...] [DEPS <lib>...])
# A subsystem library made of every .cpp in the calling folder (less EXCLUDE).
function(corv_library name)
  cmake_parse_arguments(A "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(x IN LISTS A_EXCLUDE)
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${x})
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
endfunction()

# corv_test(<name> <folder> [EXCLUDE <file>...] DEPS <lib>... [PROPERTIES <p> <v>...]):
# one GoogleTest program of every .cpp in tests/<folder> (less EXCLUDE), each
# test case a ctest of its own with the given ctest properties (a time-out of
# 300 s unless they set one: a test that hangs fails alone). A cross build
# lists the cases when ctest starts rather than after linking, so building needs
# no emulator (Wine) and only testing does.
function(corv_test name folder)
  cmake_parse_arguments(A "" "" "EXCLUDE;DEPS;PROPERTIES" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  foreach(x IN LISTS A_EXCLUDE)
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/${x})
  endforeach()
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  set(discovery POST_BUILD)
  if(CMAKE_CROSSCOMPILING)
    set(discovery PRE_TEST)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE ${discovery}
    PROPERTIES TIMEOUT 300 ENVIRONMENT "CORV_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}" ${A_PROPERTIES})
endfunction()
