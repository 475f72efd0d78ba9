# Run by `cmake --install` (see companion/CMakeLists.txt): writes the D-Bus service file
# and the systemd user unit naming the companion where this install puts it, then installs
# them. Written now rather than when configuring, since only now is the prefix known: the
# one given to `cmake --install --prefix` (a per-user install into ~/.local must start its
# own program, not /usr/local's). DESTDIR only stages the files for a package and stays
# out of them: file(INSTALL) adds it to where they go, never to what they say.
#
# In: templates, staging (a folder of the build for the written files), bindir,
# service_dir, unit_dir (each relative to the prefix or absolute, as configured).
# CMAKE_INSTALL_PREFIX is this install's prefix.

# quillbeam_installed_path(OUT PATH): PATH under the prefix unless absolute. A relative
# prefix (`--prefix rel`) is taken from the current folder, as file(INSTALL) takes it.
function(quillbeam_installed_path out path)
  if(NOT IS_ABSOLUTE "${path}")
    set(path "${CMAKE_INSTALL_PREFIX}/${path}")
  endif()
  cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE)
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

quillbeam_installed_path(program "${bindir}/quillbeam-companion")
# The bus splits Exec= as a shell does, systemd splits ExecStart= much the same and
# expands % in it: a path of other characters than these (a space in a home folder's name)
# is quoted for both, and each % doubled for systemd. A quote or a backslash in the path
# neither reads back as written.
if(program MATCHES "[\"'\\\t\r\n]")
  message(FATAL_ERROR "The companion's D-Bus service file and systemd user unit cannot name "
    "${program}: install to a prefix without quotes, backslashes or control characters")
endif()
set(dbus_exec "${program}")
string(REPLACE "%" "%%" unit_exec "${program}")
if(NOT program MATCHES "^[A-Za-z0-9/._+-]+$")
  set(dbus_exec "\"${dbus_exec}\"")
  set(unit_exec "\"${unit_exec}\"")
endif()

# install_bus_file(NAME FOLDER EXEC): NAME.in from the templates with EXEC for the program,
# installed into FOLDER.
function(install_bus_file name folder companion_exec)
  configure_file("${templates}/${name}.in" "${staging}/${name}" @ONLY)
  # An absolute folder is listed and checked as install(FILES) does it, for CPack.
  if(IS_ABSOLUTE "${folder}")
    list(APPEND CMAKE_ABSOLUTE_DESTINATION_FILES "${folder}/${name}")
    set(CMAKE_ABSOLUTE_DESTINATION_FILES "${CMAKE_ABSOLUTE_DESTINATION_FILES}" PARENT_SCOPE)
    if(CMAKE_WARN_ON_ABSOLUTE_INSTALL_DESTINATION)
      message(WARNING "ABSOLUTE path INSTALL DESTINATION : ${folder}/${name}")
    endif()
    if(CMAKE_ERROR_ON_ABSOLUTE_INSTALL_DESTINATION)
      message(FATAL_ERROR "ABSOLUTE path INSTALL DESTINATION forbidden (by caller): ${folder}/${name}")
    endif()
  endif()
  quillbeam_installed_path(folder "${folder}")
  # file(INSTALL) passes over a file whose time is within a second of the written one's,
  # though an install to another prefix just before may have written it differently.
  file(REMOVE "$ENV{DESTDIR}${folder}/${name}")
  # Lists the file in install_manifest.txt, as for any installed file.
  file(INSTALL DESTINATION "${folder}" TYPE FILE FILES "${staging}/${name}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

install_bus_file(com.quillbeam.mac.service "${service_dir}" "${dbus_exec}")
install_bus_file(quillbeam-companion.service "${unit_dir}" "${unit_exec}")
