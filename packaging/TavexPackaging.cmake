# Debian packages, one per install component (see cmake/TavexInstall.cmake):
#   cmake --build build --target package     (or: cd build && cpack)
# puts tavex-common, tavex-keepyard, tavex-setdesk, tavex-wardline and
# tavex-dev in the build folder.

set(TAVEX_PACKAGE_MAINTAINER "${TAVEX_COMPANY_NAME} <packages@tarnwell.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavex)
set(CPACK_PACKAGE_VENDOR "${TAVEX_COMPANY_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# The install runs with the packaging prefix itself (and DESTDIR), so that the
# units and the environment file get the paths of the installed system.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVEX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Dependencies on system libraries come from dpkg-shlibdeps (package
# dpkg-dev; CPack needs `file` beside it) where it is installed. The suite's
# own libraries are found in the build tree and left to the dependencies
# between the components.
find_program(TAVEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(TAVEX_FILE_COMMAND file)
if(TAVEX_DPKG_SHLIBDEPS AND TAVEX_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  get_target_property(_tavex_rule_kernel_dir rule_kernel BINARY_DIR)
  get_target_property(_tavex_plugin_api_dir setdesk_plugin_api BINARY_DIR)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_tavex_rule_kernel_dir} ${_tavex_plugin_api_dir})
else()
  message(STATUS "dpkg-shlibdeps or file not found: the Debian packages will not list their system libraries")
endif()

set(_tavex_debian ${CMAKE_CURRENT_LIST_DIR}/debian)

set(CPACK_DEBIAN_COMMON_PACKAGE_NAME tavex-common)
set(CPACK_DEBIAN_COMMON_PACKAGE_DEPENDS "adduser")
# The shared libraries are in /usr/lib: the trigger runs ldconfig.
set(CPACK_DEBIAN_COMMON_PACKAGE_CONTROL_EXTRA
  ${_tavex_debian}/common/postinst ${_tavex_debian}/common/conffiles ${_tavex_debian}/common/triggers)
set(CPACK_DEBIAN_COMMON_DESCRIPTION "TAVEX control-room suite: shared files
The rule library and the editor plugin library that the programs share, the
environment file of the services (/etc/default/tavex), the unprivileged user
tavex they run as, the installation tree /var/lib/tavex, and the documents.")

set(CPACK_DEBIAN_KEEPYARD_PACKAGE_NAME tavex-keepyard)
set(CPACK_DEBIAN_KEEPYARD_PACKAGE_CONTROL_EXTRA
  ${_tavex_debian}/keepyard/postinst ${_tavex_debian}/keepyard/prerm ${_tavex_debian}/keepyard/postrm)
set(CPACK_DEBIAN_KEEPYARD_DESCRIPTION "TAVEX configuration server (keepyard)
Keeps the master copy of every system's configuration files and serves them
to the configuration editors over TCP; answers discovery over UDP. Runs with
a window, or headless as the systemd service keepyard.service.")

set(CPACK_DEBIAN_SETDESK_PACKAGE_NAME tavex-setdesk)
set(CPACK_DEBIAN_SETDESK_DESCRIPTION "TAVEX configuration editor (setdesk)
Edits the configuration kept by keepyard through editor plugins. Holds the
editor plugins of the installation (the start page, the configuration files
and the alarm processes) in /usr/${TAVEX_PLUGIN_INSTALL_DIR}, to be copied into a
system's config/plugins folder on the server.")

set(CPACK_DEBIAN_WARDLINE_PACKAGE_NAME tavex-wardline)
set(CPACK_DEBIAN_WARDLINE_PACKAGE_CONTROL_EXTRA
  ${_tavex_debian}/wardline/postinst ${_tavex_debian}/wardline/prerm ${_tavex_debian}/wardline/postrm)
set(CPACK_DEBIAN_WARDLINE_DESCRIPTION "TAVEX alarm engine (Wardline)
Evaluates the alarm processes of one alarm system through the rule library,
reading inputs and writing outputs through modules. Comes with the file
input and output modules, and runs one alarm system per instance of the
systemd service wardline@.service.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME tavex-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "TAVEX control-room suite: development files
Headers and CMake package (find_package(Tavex)) for building alarm modules
(Tavex::wardline_module_api), editor plugins (Tavex::setdesk_plugin_api)
and users of the rule library (Tavex::rule_kernel).")

include(CPack)

cpack_add_component(common DISPLAY_NAME "Shared files")
cpack_add_component(keepyard DISPLAY_NAME "Configuration server" DEPENDS common)
cpack_add_component(setdesk DISPLAY_NAME "Configuration editor" DEPENDS common)
cpack_add_component(wardline DISPLAY_NAME "Alarm engine" DEPENDS common)
cpack_add_component(dev DISPLAY_NAME "Development files" DEPENDS common)
