# Install components and the Debian packages made from them (scripts/package.sh).
#
#   runtime      the programs and everything installed without a component of its own:
#                package "quillbeam"
#   development  the core's headers, archives, CMake package and pkg-config file:
#                package "libquillbeam-core-dev"
#
# Read before the subdirectories, whose install rules take the default component from here.
# `cmake --install` without --component installs both, as it always did.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)

option(QUILLBEAM_PACKAGE
  "Build the Debian packages: adds the host manifests for all users under /etc and the Debian documentation to the install (needs CMAKE_INSTALL_PREFIX=/usr)"
  OFF)
if(NOT QUILLBEAM_PACKAGE)
  return()
endif()
# The manifests name the bridge at its installed path, which must be where dpkg puts it.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "QUILLBEAM_PACKAGE needs CMAKE_INSTALL_PREFIX=/usr, not ${CMAKE_INSTALL_PREFIX}")
endif()

set(QUILLBEAM_PACKAGE_COMPONENTS runtime development)
set(QUILLBEAM_PACKAGE_NAMES quillbeam libquillbeam-core-dev)
set(QUILLBEAM_PACKAGE_RELEASE 1)
set(QUILLBEAM_PACKAGE_MAINTAINER "Quillbeam developers <dev@quillbeam.invalid>")
add_subdirectory(packaging)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbeam)
set(CPACK_PACKAGE_VENDOR "Quillbeam developers")
set(CPACK_PACKAGE_CONTACT ${QUILLBEAM_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The manifests go to absolute folders under /etc: staged like everything else. Staging
# by DESTDIR also keeps the install prefix /usr, which the companion's service file and
# user unit write into their path to the program.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QUILLBEAM_PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUILLBEAM_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE quillbeam)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME quillbeam)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
# The bridge is static; quillbeam and quillbeam-register need what they link.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# The bridge and quillbeam talk to the companion over the user's session bus.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "default-dbus-session-bus | dbus-session-bus")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "focus sessions across the browser and the desktop
Quillbeam runs focus sessions in a browser extension and shields distracting
desktop apps while one runs. This package holds the native messaging host
that connects the extension to the desktop (quillbeam_bridge), registered
for Google Chrome, Chromium and Microsoft Edge for all users; the desktop
companion (quillbeam-companion), which pauses the apps a session shields and
resumes them the moment it allows them, started through the session bus; the
quillbeam command, which shows the session, starts one and lists, allows and
resumes the paused apps from a shell; and quillbeam-register, which registers
the host with other browsers per user.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquillbeam-core-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# Static archives: nothing of the runtime package is needed, only the headers and
# libraries the core's own headers and archives use.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "nlohmann-json3-dev (>= 3.11), libicu-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Quillbeam core library - development files
Quillbeam runs focus sessions in a browser extension and shields distracting
desktop apps while one runs. This package holds its core library for
companion programs: the wire messages, session and link records, health
rules and shielding policy, as C++20 headers and static archives, with a
CMake package (find_package(Quillbeam)) and a pkg-config file
(quillbeam-core).")

include(CPack)
