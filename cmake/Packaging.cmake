# How other projects find the installed libraries: a CMake package
# (find_package(vdl) gives vdl::vdlrc and vdl::vdlwave) and a pkg-config
# file per library.  Also installs the manual pages.
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/man/vdlplay.1 ${PROJECT_SOURCE_DIR}/man/vdsp.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The export set is filled by the library directories; without them there
# is nothing to describe.
if(NOT TARGET vdlrc OR NOT TARGET vdlwave)
  return()
endif()

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
