# How the project is handed on: a CMake package (find_package(vdl)) and a
# pkg-config file per library for other projects, and Debian packages of
# the install, one per install component, made by CPack
# (scripts/package.sh).
include(CMakePackageConfigHelpers)

set(VDL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vdl)

install(EXPORT vdlTargets NAMESPACE vdl:: DESTINATION ${VDL_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vdlConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vdlConfig.cmake
  INSTALL_DESTINATION ${VDL_CMAKE_DIR})
# 0.x releases may change the interface from one minor version to the next.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vdlConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vdlConfig.cmake
              ${PROJECT_BINARY_DIR}/vdlConfigVersion.cmake
        DESTINATION ${VDL_CMAKE_DIR} COMPONENT dev)

# The .pc files name their prefix relative to where they lie, so an install
# with --prefix or DESTDIR works without reconfiguring.  Configured for
# /usr, as a distribution's package is, they name it as it is: pkg-config
# then leaves the system's own directories out of the flags.
function(vdl_pc_path var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr")
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
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

# The Debian packages, split as Debian splits a library's: each shared
# library in a package named after its SONAME, what building against them
# takes in libvdl-dev, and each program in a package of its own (vdsp
# serves other programs too).  Their dependencies on other systems'
# libraries come from the binaries (dpkg-shlibdeps), those between them
# from the components' DEPENDS, at the same version.
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "vdlplay maintainers <maintainers@vdlplay.example>")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_PACKAGE_NAME vdlplay)
set(CPACK_DEBIAN_PACKAGE_SOURCE vdlplay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in each package's staging tree; the shared libraries
# of the project lie in their packages' trees beside it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ../libvdlrc${VDL_ABI}${CMAKE_INSTALL_FULL_LIBDIR}
  ../libvdlwave${VDL_ABI}${CMAKE_INSTALL_FULL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Stripped as Debian strips (cmake/deb/strip.cmake); ldconfig runs on
# dpkg's trigger, once after all packages of a run, so CPack's maintainer
# scripts that call it are taken out again (cmake/deb/no_ldconfig.cmake).
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/strip.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/no_ldconfig.cmake)
set(CPACK_VDL_STRIP ${CMAKE_STRIP})

# What Debian wants in every package's documentation directory: the
# copyright and, the tree being the packages' source, a changelog of it
# in Debian's format.
string(TIMESTAMP VDL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in
               ${PROJECT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(vdl_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)

# vdl_deb(COMPONENT PACKAGE SECTION DESCRIPTION [DEPENDS COMPONENT...]):
# the install component COMPONENT as the Debian package PACKAGE, in
# SECTION, DESCRIPTION's first line its summary, needing the packages of
# the DEPENDS components.  A file cmake/deb/PACKAGE/FILE goes into the
# package's control area (symbols, triggers); cmake/deb/PACKAGE.overrides
# holds lintian's overrides for it, each with a comment saying why.
function(vdl_deb comp pkg section description)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "" DEPENDS)
  string(TOUPPER ${comp} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${pkg} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_DESCRIPTION "${description}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DEPENDS ${arg_DEPENDS} PARENT_SCOPE)
  file(GLOB control ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/deb/${pkg}/*)
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA ${control} PARENT_SCOPE)
  install(FILES ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/deb/copyright
                ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${comp})
  set(overrides ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/deb/${pkg}.overrides)
  if(EXISTS ${overrides})
    install(FILES ${overrides} RENAME ${pkg}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            COMPONENT ${comp})
  endif()
endfunction()

vdl_deb(libvdlrc${VDL_ABI} libvdlrc${VDL_ABI} libs
"group/key=value file store of vdlplay
The vdlrc library reads and sets single values in files of [group] and
key=value lines, such as ~/.vdlrc, replacing a file atomically on update.")
vdl_deb(libvdlwave${VDL_ABI} libvdlwave${VDL_ABI} libs
"WAV playback on an OSS DSP device
The vdlwave library opens the Open Sound System DSP device named in
~/.vdlrc, reads the canonical header of Linear PCM WAV files and plays
them, blocking or in the background from an interval timer."
  DEPENDS libvdlrc${VDL_ABI})
vdl_deb(dev libvdl-dev libdevel
"development files for the vdlrc and vdlwave libraries
Headers, static libraries, pkg-config files, a CMake package
(find_package(vdl)) and section 3 manual pages for building C and C++
programs against vdlrc (group/key=value files) and vdlwave (WAV playback
on an OSS DSP device)."
  DEPENDS libvdlrc${VDL_ABI} libvdlwave${VDL_ABI})
vdl_deb(vdlplay vdlplay sound
"WAV player for the OSS /dev/dsp
vdlplay checks that each file named on its command line is a Linear PCM
WAV file with the canonical 44-byte header, reports its format and plays
the files in order through the Open Sound System DSP device."
  DEPENDS libvdlwave${VDL_ABI})
vdl_deb(vdsp vdsp sound
"virtual OSS device that records what a program plays
vdsp runs a program with a stand-in for the Open Sound System DSP device
/dev/dsp that answers it as a driver would, in real time or as fast as the
program writes, and can keep what the program played as a WAV file: for
machines without sound hardware and for tests.")

include(CPack)
