# What `cmake --install` puts where, the CMake package module and plugin
# authors build against (find_package(Tavex)), and the Debian packages CPack
# makes of it. Included at the end of the top-level CMakeLists.txt, once every
# target exists.
#
# Components, one Debian package each:
#   common    tavex-common    the shared libraries, the environment file of
#                             the services, the service user, the documents
#   keepyard  tavex-keepyard  the configuration server and its systemd unit
#   setdesk   tavex-setdesk   the configuration editor and the editor plugins
#   wardline  tavex-wardline  the alarm engine, its modules and its unit
#   dev       tavex-dev       headers, CMake package, library links
#
# Installed paths are relative to the prefix, so that the packages can be
# relocated; only the systemd units and the environment file need absolute
# paths, and those are written at install time, from the prefix installed to
# (see cmake/TavexInstallSystemFiles.cmake).

include(CMakePackageConfigHelpers)

set(TAVEX_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/tavex/alarms)
set(TAVEX_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/tavex/plugins)
set(TAVEX_INCLUDE_INSTALL_DIR ${CMAKE_INSTALL_INCLUDEDIR}/tavex)
set(TAVEX_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tavex)
set(TAVEX_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd units go, relative to the installation prefix")

# The shared libraries carry the major version in their soname: a module or
# plugin built against 4.x needs a 4.x library.
set_target_properties(rule_kernel setdesk_plugin_api PROPERTIES
  VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# Installed programs find the shared libraries beside their bin folder, wherever
# the prefix is.
file(RELATIVE_PATH _tavex_lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(keepyard_app setdesk_app wardline_app PROPERTIES
  INSTALL_RPATH "$ORIGIN/${_tavex_lib_from_bin}")

# Programs.
install(TARGETS keepyard_app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT keepyard)
install(TARGETS setdesk_app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT setdesk)
install(TARGETS wardline_app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wardline)

# The libraries and interfaces module and plugin authors use, exported as
# Tavex::rule_kernel, Tavex::setdesk_plugin_api and Tavex::wardline_module_api.
install(TARGETS rule_kernel setdesk_plugin_api wardline_module_api EXPORT TavexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT common NAMELINK_COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/wardline/interface/
  DESTINATION ${TAVEX_INCLUDE_INSTALL_DIR}/wardline COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/setdesk/interface/
  DESTINATION ${TAVEX_INCLUDE_INSTALL_DIR}/setdesk COMPONENT dev FILES_MATCHING PATTERN "*.h")
# Only the headers of the exported classes: the rest of the library is private.
install(FILES
  ${PROJECT_SOURCE_DIR}/rule_kernel/rule_kernel_global.h
  ${PROJECT_SOURCE_DIR}/rule_kernel/CRuleKernel.h
  ${PROJECT_SOURCE_DIR}/rule_kernel/procDefFile.h
  ${PROJECT_SOURCE_DIR}/rule_kernel/procDefCheck.h
  DESTINATION ${TAVEX_INCLUDE_INSTALL_DIR}/rule_kernel COMPONENT dev)

install(EXPORT TavexTargets NAMESPACE Tavex:: DESTINATION ${TAVEX_CMAKE_INSTALL_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TavexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TavexConfig.cmake
  INSTALL_DESTINATION ${TAVEX_CMAKE_INSTALL_DIR}
  PATH_VARS TAVEX_MODULE_INSTALL_DIR TAVEX_PLUGIN_INSTALL_DIR)
# Modules and plugins are C++ classes handed across the library boundary: only
# a build of the same major version can load them.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TavexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TavexConfig.cmake ${PROJECT_BINARY_DIR}/TavexConfigVersion.cmake
  DESTINATION ${TAVEX_CMAKE_INSTALL_DIR} COMPONENT dev)

# The alarm modules built here, where an installed Wardline also looks for a
# module its installation tree does not hold.
foreach(module filein fileout modbusin mqttout)
  if(TARGET ${module})
    install(TARGETS ${module} LIBRARY DESTINATION ${TAVEX_MODULE_INSTALL_DIR} COMPONENT wardline)
  endif()
endforeach()

# The editor plugins and their help pages, copied from here into a system's
# config/plugins folder on the server.
install(TARGETS tavex_editors LIBRARY DESTINATION ${TAVEX_PLUGIN_INSTALL_DIR} COMPONENT setdesk)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/setdesk/plugins/editors/doc
  DESTINATION ${TAVEX_PLUGIN_INSTALL_DIR} COMPONENT setdesk)

# Documents.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT common)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT common)

# The systemd units and the environment file they read, written at install
# time with the paths of the prefix installed to.
set(_tavex_system_files_script ${PROJECT_SOURCE_DIR}/cmake/TavexInstallSystemFiles.cmake)
set(_tavex_templates ${PROJECT_SOURCE_DIR}/packaging)
foreach(entry
    "common|${_tavex_templates}/tavex.env.in|SYSCONF|default|tavex"
    "keepyard|${_tavex_templates}/systemd/keepyard.service.in|UNIT||keepyard.service"
    "wardline|${_tavex_templates}/systemd/wardline@.service.in|UNIT||wardline@.service")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 component)
  list(GET entry 1 template)
  list(GET entry 2 kind)
  list(GET entry 3 subfolder)
  list(GET entry 4 name)
  install(CODE "
    set(TAVEX_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(TAVEX_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
    set(TAVEX_SYSTEMD_UNIT_DIR \"${TAVEX_SYSTEMD_UNIT_DIR}\")
    set(TAVEX_WORK_DIR \"${PROJECT_BINARY_DIR}/install-system-files\")
    include(\"${_tavex_system_files_script}\")
    tavex_install_system_file(\"${template}\" ${kind} \"${subfolder}\" \"${name}\")"
    COMPONENT ${component})
endforeach()

include(${PROJECT_SOURCE_DIR}/packaging/TavexPackaging.cmake)
