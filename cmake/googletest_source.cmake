# GoogleTest built from source for a cross build (there is no mingw package of
# it): Debian's googletest source package, /usr/src/googletest, which
# libgtest-dev brings along. Static libraries under the names the GTest package
# gives, so tests/ links the same targets in either build.
set(CORV_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build")

function(corv_add_googletest)
  if(NOT EXISTS ${CORV_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "no GoogleTest sources in ${CORV_GOOGLETEST_SOURCE_DIR} (Debian: apt-get install libgtest-dev)")
  endif()
  set(BUILD_SHARED_LIBS OFF)
  set(BUILD_GMOCK ON)
  set(INSTALL_GTEST OFF)
  add_subdirectory(${CORV_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # Its code is not ours: our warnings are not its errors.
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
  # Recent GoogleTest makes these names itself.
  foreach(t gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()
endfunction()
