# Run by cpack after it has made the .debs (CPACK_POST_BUILD_SCRIPTS).
# CPack's Installed-Size adds the size the file system gives each directory,
# which differs between file systems. This gives each .deb the size
# dpkg-gencontrol would (each file in KiB rounded up, 1 for each other
# entry) and packs it again with dpkg-deb, which sorts the members, gives
# them to root and dates them no later than SOURCE_DATE_EPOCH (set by
# cmake/cpack_project.cmake).
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${CPACK_CURVEDUMP_DPKG_DEB} --raw-extract ${deb} ${tree}
    COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE ${tree} ${tree}/*)
  set(size 0)
  set(paths ${tree})
  set(directories ${tree})
  foreach(entry IN LISTS entries)
    set(path ${tree}/${entry})
    list(APPEND paths ${path})
    if(IS_DIRECTORY ${path} AND NOT IS_SYMLINK ${path})
      list(APPEND directories ${path})
    endif()
    if(entry MATCHES "^DEBIAN(/|$)")
      continue()
    elseif(IS_DIRECTORY ${path} OR IS_SYMLINK ${path})
      math(EXPR size "${size} + 1")
    else()
      file(SIZE ${path} bytes)
      math(EXPR size "${size} + (${bytes} + 1023) / 1024")
    endif()
  endforeach()
  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${size}\n" control
    "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  # Modes and times as CPack gave them, not as the umask and the clock left
  # them on the folders and the control file made here.
  file(CHMOD ${tree}/DEBIAN/control PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(CHMOD ${directories} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  execute_process(COMMAND touch --no-dereference --date=@$ENV{SOURCE_DATE_EPOCH} ${paths}
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${CPACK_CURVEDUMP_DPKG_DEB} --root-owner-group -Zgzip -z9
    --build ${tree} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
