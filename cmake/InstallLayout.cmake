# Install destinations, relative to the prefix unless absolute.
#   dist: the ready-to-run folder's layout, every file in the prefix itself.
#   fhs:  the daemon in sbin, private libraries in <libdir>/valdrin found
#         through the run path (never through ldconfig), and the folders of
#         kelplat/layout.h for the configuration, data and logs.
# The folders of an fhs build are absolute so that what is installed is what
# the programs were compiled to look for.
if(VALDRIN_LAYOUT STREQUAL "fhs")
  set(VALDRIN_INSTALL_SBINDIR ${CMAKE_INSTALL_SBINDIR})
  set(VALDRIN_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/valdrin)
  set(VALDRIN_INSTALL_DATADIR ${VALDRIN_DATA_DIR})
  set(VALDRIN_INSTALL_SYSCONFDIR ${VALDRIN_SYSCONF_DIR})
else()
  set(VALDRIN_INSTALL_SBINDIR .)
  set(VALDRIN_INSTALL_LIBDIR .)
  set(VALDRIN_INSTALL_DATADIR .)
  set(VALDRIN_INSTALL_SYSCONFDIR .)
endif()

# Sets OUT to the run path of a program installed in DIR: the private
# library folder as seen from $ORIGIN, so the installed tree can move.
function(valdrin_program_rpath out dir)
  set(from ${dir})
  if(NOT IS_ABSOLUTE ${from})
    set(from ${CMAKE_INSTALL_PREFIX}/${from})
  endif()
  set(to ${VALDRIN_INSTALL_LIBDIR})
  if(NOT IS_ABSOLUTE ${to})
    set(to ${CMAKE_INSTALL_PREFIX}/${to})
  endif()
  file(RELATIVE_PATH rel ${from} ${to})
  if(rel STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${rel}" PARENT_SCOPE)
  endif()
endfunction()
