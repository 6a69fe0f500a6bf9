# Runs at install time (from install(CODE)): writes a systemd unit or the
# services' environment file from its template, with the absolute paths of the
# prefix being installed to, and installs it.
#
# The prefix /usr (the Debian packages) puts the environment file in /etc and
# the installation tree in /var/lib/tavex; any other prefix keeps both below
# itself (<prefix>/etc, <prefix>/var), so that an installation into a
# temporary folder writes nothing outside it. DESTDIR is honoured by
# file(INSTALL).
#
# Expects TAVEX_BINDIR, TAVEX_DOCDIR, TAVEX_SYSTEMD_UNIT_DIR and TAVEX_WORK_DIR.

function(_tavex_absolute out path)
  if(IS_ABSOLUTE "${path}")
    set(${out} "${path}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${path}" PARENT_SCOPE)
  endif()
endfunction()

# kind: SYSCONF (below the configuration folder, in `subfolder`) or UNIT.
function(tavex_install_system_file template kind subfolder name)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "/+$" "" prefix "${prefix}")
  if(prefix STREQUAL "/usr" OR prefix STREQUAL "")
    set(sysconf "/etc")
    set(localstate "/var")
  elseif(prefix MATCHES "^/opt/")
    set(sysconf "/etc${prefix}")
    set(localstate "/var${prefix}")
  else()
    set(sysconf "${prefix}/etc")
    set(localstate "${prefix}/var")
  endif()

  # The placeholders of the templates.
  _tavex_absolute(TAVEX_BIN_PATH "${TAVEX_BINDIR}")
  _tavex_absolute(TAVEX_DOC_PATH "${TAVEX_DOCDIR}")
  set(TAVEX_ENVIRONMENT_FILE "${sysconf}/default/tavex")
  set(TAVEX_TREE "${localstate}/lib/tavex")

  file(READ "${template}" text)
  string(CONFIGURE "${text}" text @ONLY)
  file(MAKE_DIRECTORY "${TAVEX_WORK_DIR}")
  file(WRITE "${TAVEX_WORK_DIR}/${name}" "${text}")

  if(kind STREQUAL "SYSCONF")
    set(destination "${sysconf}/${subfolder}")
  else()
    _tavex_absolute(destination "${TAVEX_SYSTEMD_UNIT_DIR}")
  endif()
  file(INSTALL DESTINATION "${destination}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${TAVEX_WORK_DIR}/${name}")
endfunction()
