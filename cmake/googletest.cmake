# GoogleTest for a cross build, compiled from Debian's sources (package
# googletest) with the target's compiler. The targets have the names the
# installed package gives them: GTest::gtest, GTest::gtest_main, GTest::gmock.
set(LUMIVOX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${LUMIVOX_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${LUMIVOX_GOOGLETEST_SOURCE}; "
                      "install Debian's googletest package")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF)
add_subdirectory(${LUMIVOX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
