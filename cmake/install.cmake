# Installation:  cmake --install BUILD [--prefix DIR]
# puts libtev32.so, include/tev32.h and the tevmail tool in place, with a pkg-config file (tev32.pc) and a CMake
# package:  find_package(TEV32)  then  target_link_libraries(app PRIVATE TEV32::tev32).
# With the tests on, it also registers the test that installs into a scratch prefix and builds an example against
# it both ways, and the test that runs the demo.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TEV_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TEV32)

install(TARGETS tev32 EXPORT TEV32Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tev32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# ---- CMake package ----
install(EXPORT TEV32Targets NAMESPACE TEV32:: DESTINATION ${TEV_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TEV32Config.cmake.in
  ${PROJECT_BINARY_DIR}/TEV32Config.cmake INSTALL_DESTINATION ${TEV_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TEV32ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TEV32Config.cmake ${PROJECT_BINARY_DIR}/TEV32ConfigVersion.cmake
  DESTINATION ${TEV_PACKAGE_DIR})

# ---- pkg-config ----
# `cmake --install --prefix` may choose another prefix than the configured one, so the .pc file names its prefix
# relative to its own directory (pkg-config's ${pcfiledir}) whenever the install directories are relative.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TEV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(TEV_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH tev_pc_up "/tev/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/tev")
  string(REGEX REPLACE "/$" "" tev_pc_up "${tev_pc_up}")
  set(TEV_PC_PREFIX "\${pcfiledir}/${tev_pc_up}")
  set(TEV_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TEV_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(TEV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/tev32.pc.in ${PROJECT_BINARY_DIR}/tev32.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tev32.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- tevmail ----
if(TARGET tevmail)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(tev_rpath "${CMAKE_INSTALL_LIBDIR}")
  else()
    file(RELATIVE_PATH tev_bin_to_lib "/tev/${CMAKE_INSTALL_BINDIR}" "/tev/${CMAKE_INSTALL_LIBDIR}")
    set(tev_rpath "\$ORIGIN/${tev_bin_to_lib}")
  endif()
  set_target_properties(tevmail PROPERTIES INSTALL_RPATH "${tev_rpath}")
  install(TARGETS tevmail RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/tevmail.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # bash-completion loads completions/NAME on demand, where NAME is the command being completed.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/tevmail.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tevmail)
endif()

# ---- Tests of the installed tree and of the demo ----
if(TEV_BUILD_TESTS)
  # A consumer of a sanitized libtev32.so must be built with the same sanitizers.
  set(tev_consumer_flags "")
  if(TEV_SANITIZE)
    set(tev_consumer_flags "-fsanitize=address,undefined")
  endif()
  add_test(NAME install_and_consume
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/install_test.sh
            ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR}/examples/send.c ${CMAKE_C_COMPILER} "${tev_consumer_flags}")
  set_tests_properties(install_and_consume PROPERTIES TIMEOUT 300 LABELS install)

  if(TARGET tevmail)
    # The demo with this build's tevmail; exit status 77 (skipped) when the mail servers cannot run here.
    add_test(NAME demo
      COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/demo.sh --tevmail $<TARGET_FILE:tevmail>
              --out ${PROJECT_BINARY_DIR}/demo-output)
    set_tests_properties(demo PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS real)
    # The end-to-end tests of tevmail run the tool.
    if(TARGET test_real)
      add_dependencies(test_real tevmail)
    endif()
  endif()
endif()
