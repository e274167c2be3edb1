# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS).
# Packs each package again from the same files, so that its bytes do not
# depend on who builds it, where, or under which umask. As CPack makes them:
# - a .deb's Installed-Size adds the size the file system gives each folder
#   (4096 bytes on ext4, a few dozen on tmpfs);
# - a .tar.gz or .zip records the owner of the files, the modes the umask
#   gave the folders, and each folder's entries in the order the file system
#   reads them back.
# Every time stored is SOURCE_DATE_EPOCH, and the time zone is UTC (both set
# by cmake/cpack_project.cmake). Where a program needed here is missing, the
# package is left as CPack made it, with a warning.
set(epoch $ENV{SOURCE_DATE_EPOCH})
cmake_path(GET CPACK_TEMPORARY_DIRECTORY PARENT_PATH staging_parent)
cmake_path(GET CPACK_TEMPORARY_DIRECTORY FILENAME staging_top)

# Finds a program into `out`, or returns from the calling function with a
# warning.
macro(repack_need out name package)
  find_program(${out} ${name})
  if(NOT ${out})
    message(WARNING "${name} not found: ${package} is left as CPack made it, and can differ "
      "from a build by another user, under another umask or on another file system")
    return()
  endif()
endmacro()

# A .deb: dpkg-deb sorts the members, gives them to root and dates them no
# later than the epoch; Installed-Size is counted as dpkg-gencontrol does
# (each file in KiB rounded up, 1 for each other entry).
function(repack_deb deb)
  repack_need(dpkg_deb dpkg-deb ${deb})
  repack_need(touch touch ${deb})
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${dpkg_deb} --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
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
  # The folders and the control file as CPack made them, not as the umask
  # and the clock left them here.
  file(CHMOD ${tree}/DEBIAN/control PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(CHMOD ${directories} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  execute_process(COMMAND ${touch} --no-dereference --date=@${epoch} ${paths}
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${dpkg_deb} --root-owner-group -Zgzip -z9 --build ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endfunction()

# A .tar.gz: GNU tar sorts the entries, gives them to root, dates them and
# makes every folder rwxr-xr-x; gzip stores no name and no time.
function(repack_tgz tgz)
  repack_need(tar tar ${tgz})
  repack_need(gzip gzip ${tgz})
  execute_process(COMMAND ${tar} --version OUTPUT_VARIABLE version)
  if(NOT version MATCHES "GNU tar")
    message(WARNING "${tar} is not GNU tar: ${tgz} is left as CPack made it, and can differ "
      "from a build by another user, under another umask or on another file system")
    return()
  endif()
  execute_process(
    COMMAND ${tar} --create --file=- --directory=${staging_parent} --sort=name --format=gnu
      --owner=root:0 --group=root:0 --mtime=@${epoch} --mode=u=rwX,go=rX ${staging_top}
    COMMAND ${gzip} -9n
    OUTPUT_FILE ${tgz} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# A .zip: the files in sorted order, without the extra fields that hold the
# owner; zip takes each file's time (the epoch, as a UTC date) and mode,
# which the install rules set whatever the umask.
function(repack_zip zip)
  repack_need(zip_program zip ${zip})
  repack_need(touch touch ${zip})
  file(GLOB_RECURSE files RELATIVE ${staging_parent} ${CPACK_TEMPORARY_DIRECTORY}/*)
  list(SORT files)
  execute_process(COMMAND ${touch} --no-dereference --date=@${epoch} ${files}
    WORKING_DIRECTORY ${staging_parent} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${zip})
  execute_process(COMMAND ${zip_program} -X -9 -q ${zip} ${files}
    WORKING_DIRECTORY ${staging_parent} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    repack_deb(${package})
  elseif(package MATCHES "\\.tar\\.gz$")
    repack_tgz(${package})
  elseif(package MATCHES "\\.zip$")
    repack_zip(${package})
  endif()
endforeach()
