# How the two libraries are built: each once static, which the tests link
# (they reach internals the shared library hides), and once shared, for
# installed programs and other front ends.

# Part of the shared libraries' names (libvdlwave.so.0): raised by a
# release that changes or removes a function of the public headers.
set(VDL_ABI 0)

# The libraries keep clear of the C++ runtime (no exceptions, no RTTI, no
# std:: containers), so C programs link them with a plain C compiler.
set(VDL_LIB_CXX_FLAGS -fno-exceptions -fno-rtti)

# Installed outside the system's library directories, the libraries and
# the player find the libraries relative to themselves (for a program
# linked against them too), wherever the prefix is moved.
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_C_IMPLICIT_LINK_DIRECTORIES)
  set(VDL_RPATH_FROM_BIN "")
else()
  file(RELATIVE_PATH lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_LIBDIR})
  set(VDL_RPATH_FROM_BIN "$ORIGIN/${lib_from_bin}")
endif()

set(VDL_EXPORTS_MAP ${CMAKE_CURRENT_LIST_DIR}/exports.map)

# vdl_add_library(NAME SOURCES...): the static library NAME and the shared
# library NAME_shared (libNAME.so.${VDL_ABI}) from the same sources,
# exported as vdl::NAME_static and vdl::NAME_shared.  The shared library
# installs as the component libNAME${VDL_ABI}, named as Debian names the
# package of a library; what building against it takes (the libNAME.so
# link, the static library) as the component dev.
function(vdl_add_library name)
  add_library(${name} STATIC ${ARGN})
  add_library(${name}_shared SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${name}_static)
  # Linked as C, so a slip into the C++ runtime is an undefined symbol;
  # the version script exports the public functions only.
  set_target_properties(${name}_shared PROPERTIES
    OUTPUT_NAME ${name}
    EXPORT_NAME ${name}_shared
    VERSION ${PROJECT_VERSION}
    SOVERSION ${VDL_ABI}
    LINKER_LANGUAGE C
    LINK_DEPENDS ${VDL_EXPORTS_MAP})
  if(VDL_RPATH_FROM_BIN)
    set_target_properties(${name}_shared PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  target_link_options(${name}_shared PRIVATE
    LINKER:--version-script=${VDL_EXPORTS_MAP} LINKER:--as-needed)
  # An instrumented library leaves the sanitizer runtime to the program.
  if(NOT VDL_SANITIZE AND NOT VDL_FUZZ)
    target_link_options(${name}_shared PRIVATE LINKER:-z,defs)
  endif()
  foreach(target ${name} ${name}_shared)
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    target_compile_options(${target} PRIVATE ${VDL_LIB_CXX_FLAGS})
    target_link_libraries(${target} PUBLIC $<BUILD_INTERFACE:vdl_instrument>)
  endforeach()
  install(TARGETS ${name} ${name}_shared EXPORT vdlTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
      COMPONENT lib${name}${VDL_ABI} NAMELINK_COMPONENT dev)
endfunction()
