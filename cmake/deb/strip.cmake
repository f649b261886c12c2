# Run by CPack once the components are installed into its staging tree,
# before the packages are made: strips every ELF file and static library
# in it as Debian's packages are stripped, debugging data and the
# toolchain's .comment and .note sections out, the dynamic symbols kept.
file(GLOB_RECURSE files LIST_DIRECTORIES false
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(f IN LISTS files)
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  file(READ "${f}" magic LIMIT 8 HEX)
  if(magic MATCHES "^7f454c46")
    set(how --remove-section=.comment --remove-section=.note)
    if(f MATCHES "\\.so(\\.[0-9.]+)?$")
      list(APPEND how --strip-unneeded)
    endif()
  elseif(magic STREQUAL "213c617263683e0a")   # "!<arch>\n"
    set(how --strip-debug --remove-section=.comment --remove-section=.note
            --enable-deterministic-archives)
  else()
    continue()
  endif()
  execute_process(COMMAND "${CPACK_VDL_STRIP}" ${how} "${f}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
