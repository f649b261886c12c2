# Run by CPack on the packages it made: CPack gives a package with a
# shared library in /usr/lib maintainer scripts that call ldconfig; the
# library packages' ldconfig trigger does that once for all packages of a
# dpkg run, so the scripts are taken out and the package made again.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${deb}.d")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}"
                  COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  foreach(script postinst postrm)
    set(s "${tree}/DEBIAN/${script}")
    if(EXISTS "${s}")
      file(STRINGS "${s}" code REGEX "^[^#]")
      list(FILTER code EXCLUDE REGEX "^(set -e|if .*|fi|[ \t]*ldconfig)$")
      if(NOT code)
        file(REMOVE "${s}")
        set(changed TRUE)
      endif()
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
