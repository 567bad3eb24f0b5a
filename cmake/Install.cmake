# What `cmake --install` puts into a prefix: the framework's libraries and public
# headers, the package SDK as a CMake package (lib/cmake/PackageSdk), pkginfo, the
# workbench with its desktop entry and icon, and the demo packages.
#
# The components are the Debian packages' parts (debian/rules): "rtl" and
# "toolkit", the run-time libraries by soname; "sdk", the headers, the development
# links and the CMake package; everything else is in the default component
# "workbench" (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME), so a new program is packaged
# with the workbench without further ado.

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

# The manual pages, made from the programs' own --help and --version with every build,
# read as UTF-8 whatever the build's locale: the workbench's help quotes a Russian
# caption. Without help2man there are none, and nothing else is missing.
find_program(WB_HELP2MAN help2man)
if(WB_HELP2MAN)
  set(_wb_man_pkginfo "read, check and register packages of the component framework")
  set(_wb_man_workbench "workbench for run-time packages of a component framework")
  set(_wb_pages "")
  foreach(_wb_program ${_wb_programs})
    set(_wb_page ${CMAKE_BINARY_DIR}/man/${_wb_program}.1)
    add_custom_command(OUTPUT ${_wb_page}
      COMMAND ${WB_HELP2MAN} --locale=C.UTF-8 --no-info --output=${_wb_page}
              "--name=${_wb_man_${_wb_program}}" $<TARGET_FILE:${_wb_program}>
      DEPENDS ${_wb_program}
      COMMENT "Writing the manual page of ${_wb_program}"
      VERBATIM)
    list(APPEND _wb_pages ${_wb_page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${_wb_pages})
  install(FILES ${_wb_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The SDK: libraries, headers, imported targets.
set(_wb_sdk_targets rtl)
set(WB_SDK_HAS_TOOLKIT OFF)
if(TARGET toolkit)
  list(APPEND _wb_sdk_targets toolkit)
  set(WB_SDK_HAS_TOOLKIT ON)
endif()
# The public headers use C++20 (std::span, designated initialisers).
set_property(TARGET rtl APPEND PROPERTY INTERFACE_COMPILE_FEATURES cxx_std_20)
foreach(_wb_library ${_wb_sdk_targets})
  install(TARGETS ${_wb_library} EXPORT PackageSdkTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${_wb_library} NAMELINK_COMPONENT sdk
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/rtl/include/rtl
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk)
if(WB_SDK_HAS_TOOLKIT)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/toolkit/include/toolkit
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk)
endif()
# The example packages, for authors to start from.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/package-workbench-dev/examples COMPONENT sdk)
install(EXPORT PackageSdkTargets NAMESPACE PackageSdk:: DESTINATION ${WB_SDK_CMAKE_DIR}
  COMPONENT sdk)
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
  DESTINATION ${WB_SDK_CMAKE_DIR} COMPONENT sdk)

if(TARGET workbench)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/install/package-workbench.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/install/package-workbench.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/install/package-workbench.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
    RENAME example.c_seed_d8b49dd5.PackageWorkbench.metainfo.xml)
endif()
foreach(_wb_demo stdreg extreg)
  if(TARGET ${_wb_demo})
    install(TARGETS ${_wb_demo} LIBRARY DESTINATION ${WB_DEMO_PACKAGE_DIR})
  endif()
endforeach()
