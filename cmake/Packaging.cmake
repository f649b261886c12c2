# How the project is handed on: a CMake package (find_package(vdl)) and a
# pkg-config file per library for other projects, and a Debian package of
# the whole install, made by CPack (scripts/package.sh).
include(CMakePackageConfigHelpers)

set(VDL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vdl)

install(EXPORT vdlTargets NAMESPACE vdl:: DESTINATION ${VDL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vdlConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vdlConfig.cmake
  INSTALL_DESTINATION ${VDL_CMAKE_DIR})
# 0.x releases may change the interface from one minor version to the next.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vdlConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vdlConfig.cmake
              ${PROJECT_BINARY_DIR}/vdlConfigVersion.cmake
        DESTINATION ${VDL_CMAKE_DIR})

# The .pc files name their prefix relative to where they lie, so an install
# with --prefix or DESTDIR works without reconfiguring.
function(vdl_pc_path var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VDL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up "/x/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/x")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(VDL_PC_PREFIX "\${pcfiledir}/${up}")
endif()
vdl_pc_path(VDL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
vdl_pc_path(VDL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
foreach(lib vdlrc vdlwave)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${lib}.pc.in
                 ${PROJECT_BINARY_DIR}/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${lib}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# The Debian package holds everything installed.  Its dependencies come
# from the binaries (dpkg-shlibdeps), and it tells dependent packages
# which version of it their binaries need (shlibs).
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "vdlplay maintainers <maintainers@vdlplay.example>")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vdlplay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "WAV player for the OSS /dev/dsp, with its C libraries")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "vdlplay plays Linear PCM WAV files through the Open Sound System DSP
device. The package also holds vdsp, a virtual OSS device that runs a
program with a stand-in for /dev/dsp and can record what it plays, and the
C libraries vdlrc (group/key=value files) and vdlwave (WAV playback,
blocking or in the background), shared and static, with their headers,
manual pages, pkg-config files and CMake package.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg runs ldconfig once after all packages of a run, on this trigger.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
set(CPACK_STRIP_FILES ON)

# What Debian wants in every package's documentation directory: the
# copyright and, the tree being the package's source, a changelog of it
# in Debian's format.
set(VDL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
string(TIMESTAMP VDL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in
               ${PROJECT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(vdl_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright
              ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${VDL_DOC_DIR})

include(CPack)
