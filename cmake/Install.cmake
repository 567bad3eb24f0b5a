# What `cmake --install` puts into a prefix, and the Debian package made of it:
# the framework's libraries and public headers, the package SDK as a CMake package
# (lib/cmake/PackageSdk), pkginfo, the workbench with its desktop entry and icon,
# and the demo packages.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(WB_SDK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/PackageSdk)
# The demo packages are not libraries anyone links: they go into a folder of their
# own, found from the open dialog.
set(WB_DEMO_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/package-workbench/packages)

# Installed binaries find the framework relative to themselves, so the tree can be
# moved (or unpacked by dpkg under /usr) and still run. The framework's libraries
# and the packages already carry $ORIGIN from add_package().
file(RELATIVE_PATH _wb_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set(_wb_programs pkginfo)
if(TARGET workbench)
  list(APPEND _wb_programs workbench)
endif()
set_target_properties(${_wb_programs} PROPERTIES INSTALL_RPATH "$ORIGIN/${_wb_bin_to_lib}")
install(TARGETS ${_wb_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The SDK: libraries, headers, imported targets.
set(_wb_sdk_targets rtl)
set(WB_SDK_HAS_TOOLKIT OFF)
if(TARGET toolkit)
  list(APPEND _wb_sdk_targets toolkit)
  set(WB_SDK_HAS_TOOLKIT ON)
endif()
# The public headers use C++20 (std::span, designated initialisers).
set_property(TARGET rtl APPEND PROPERTY INTERFACE_COMPILE_FEATURES cxx_std_20)
install(TARGETS ${_wb_sdk_targets} EXPORT PackageSdkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/rtl/include/rtl
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WB_SDK_HAS_TOOLKIT)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/toolkit/include/toolkit
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
install(EXPORT PackageSdkTargets NAMESPACE PackageSdk:: DESTINATION ${WB_SDK_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/PackageSdkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/sdk/PackageSdkConfig.cmake
  INSTALL_DESTINATION ${WB_SDK_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/sdk/PackageSdkConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/sdk/PackageSdkConfig.cmake
  ${CMAKE_BINARY_DIR}/sdk/PackageSdkConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/PackageSdk.cmake
  ${CMAKE_CURRENT_LIST_DIR}/FormResources.cmake
  DESTINATION ${WB_SDK_CMAKE_DIR})

if(TARGET workbench)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/install/package-workbench.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/install/package-workbench.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
foreach(_wb_demo stdreg extreg)
  if(TARGET ${_wb_demo})
    install(TARGETS ${_wb_demo} LIBRARY DESTINATION ${WB_DEMO_PACKAGE_DIR})
  endif()
endforeach()

# The Debian package: `cpack -G DEB` in the build folder.
set(CPACK_PACKAGE_NAME package-workbench)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Package Workbench developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Workbench for run-time packages of a component framework, with its SDK")
set(CPACK_PACKAGE_DESCRIPTION
  "Loads run-time packages into a running process, lists the loaded modules with \
their package information, and runs registration procedures into a component \
palette. Includes the framework's libraries (rtl, toolkit), their headers, the \
package SDK for CMake (find_package(PackageSdk)) and pkginfo, which reads, checks \
and registers packages without the workbench.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Package Workbench developers <workbench@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# dpkg-shlibdeps finds the C, C++ and Qt libraries the binaries need; the
# framework's own libraries come with the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux/usr/${CMAKE_INSTALL_LIBDIR})
# Building packages against the SDK needs a compiler, CMake and Qt's headers.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, g++, qt6-base-dev")
include(CPack)
