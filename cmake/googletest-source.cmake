# GoogleTest compiled from Debian's googletest source package, for a cross
# build where no installed GoogleTest fits the target.
set(DUDAROVUVADU_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${DUDAROVUVADU_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Third-party code: not held to the project's warning flags.
foreach(target gtest gtest_main)
  target_compile_options(${target} PRIVATE -w)
endforeach()
