# Installing the packer and a .deb of what is installed: stubpack, the stub where stubpack looks
# for it beside itself, the demo setup as a sample, the man page made from --help, the documents,
# and a CMake package (find_package(Stubpack), stubpack_add_installer). The Windows files come
# from the windows preset's build (STUB_WINDOWS_BIN_DIR).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(STUB_WINDOWS_BIN_DIR "${PROJECT_SOURCE_DIR}/build/windows/bin" CACHE PATH
    "bin directory of the windows preset")
set(STUBPACK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/stubpack)
set(STUBPACK_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/stubpack)
set(STUBPACK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Stubpack)

install(TARGETS stubpack EXPORT StubpackTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The stub is data to stubpack, found through STUBPACK_INSTALLED_STUB (tools/stubpack). The demo
# setup goes beside it: with it, an installed packer makes a whole installer that runs, before a
# real setup.exe exists (docs/packing.md), and a project's tests can use it as setup.
install(FILES ${STUB_WINDOWS_BIN_DIR}/stub.exe ${STUB_WINDOWS_BIN_DIR}/demo-setup.exe
        DESTINATION ${STUBPACK_DATA_DIR})

# README's links point into docs/, so the documents keep that layout.
file(GLOB stubpack_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${STUBPACK_DOC_DIR})
install(FILES ${stubpack_docs} DESTINATION ${STUBPACK_DOC_DIR}/docs)

# The man page follows whatever --help and --version print.
find_program(STUB_HELP2MAN help2man)
if(STUB_HELP2MAN)
  set(stubpack_man ${CMAKE_BINARY_DIR}/man/stubpack.1)
  add_custom_command(OUTPUT ${stubpack_man}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${STUB_HELP2MAN} --no-info --section=1
            "--name=make Windows installers from the installer stub, and inspect them"
            --include=${PROJECT_SOURCE_DIR}/tools/stubpack/stubpack.h2m
            --output=${stubpack_man} $<TARGET_FILE:stubpack>
    DEPENDS stubpack ${PROJECT_SOURCE_DIR}/tools/stubpack/stubpack.h2m
    COMMENT "Writing stubpack's man page from its --help"
    VERBATIM)
  add_custom_target(stubpack-man ALL DEPENDS ${stubpack_man})
  install(FILES ${stubpack_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man missing: no man page is installed (scripts/install-deps.sh)")
endif()

# The CMake package. The packer runs on the build machine whatever a project builds for, so the
# version check ignores the project's pointer size.
install(EXPORT StubpackTargets NAMESPACE Stubpack:: DESTINATION ${STUBPACK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/stubpack/StubpackConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake-package/StubpackConfig.cmake
  INSTALL_DESTINATION ${STUBPACK_CMAKE_DIR}
  PATH_VARS STUBPACK_DATA_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake-package/StubpackConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/cmake-package/StubpackConfig.cmake
        ${CMAKE_BINARY_DIR}/cmake-package/StubpackConfigVersion.cmake
        ${PROJECT_SOURCE_DIR}/cmake/stubpack/StubpackAddInstaller.cmake
        DESTINATION ${STUBPACK_CMAKE_DIR})

# The .deb (cpack -G DEB). CPack takes its settings from the scope include(CPack) runs in: a
# function keeps them out of every other directory of this build and its packages.
set(STUBPACK_DEB_MAINTAINER "Zarnith packaging <packaging@zarnith.invalid>" CACHE STRING
    "Maintainer field of stubpack's .deb")
function(StubpackDebPackage)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME stubpack)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR Zarnith)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packer for the Windows installer stub")
  set(CPACK_PACKAGE_DESCRIPTION
      "stubpack makes a 64-bit Windows installer from the installer stub, an application "
      "archive and a setup.exe, signs it, and inspects installers. Includes the stub, a demo "
      "setup, a CMake package with stubpack_add_installer, and the documents.")
  string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${STUBPACK_DEB_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # The libraries stubpack links (zlib, the C++ runtime), as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Packing works without it; signing (--sign-*) runs osslsigncode.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
  include(CPack)
endfunction()
StubpackDebPackage()
