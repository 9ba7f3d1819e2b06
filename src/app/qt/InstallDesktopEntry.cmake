# Run by `cmake --install`: writes the menu entry with the installed binary's full path under
# this install's prefix (the configured one or --prefix), so that a prefix whose bin is not on
# PATH still gives an entry the desktop accepts; GLib refuses an entry whose program it cannot
# find. DESTDIR is where the files are put, not where they run from: it stays out of the entry. A
# relative prefix (--prefix relinst) is taken from the folder the install runs in, as the files
# are, since the desktop finds no program by a relative path.
set(prefix "${CMAKE_INSTALL_PREFIX}")
cmake_path(ABSOLUTE_PATH prefix NORMALIZE)
set(binary "${prefix}/bin/brindlet")
set(exec "${binary}")
# A path with characters the entry's Exec reserves is quoted, and the quoting escaped inside.
if(exec MATCHES "[^-A-Za-z0-9_./+,@:]")
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
# The value is a string of the key file: backslashes doubled; a literal % is written %%. GLib
# looks for the program before it undoes "%%", so a path with a "%" goes to env as its argument.
string(REPLACE "\\" "\\\\" exec "${exec}")
if(exec MATCHES "%")
  string(REPLACE "%" "%%" exec "${exec}")
  set(exec "env ${exec}")
endif()
set(BRINDLET_EXEC "${exec}")
file(READ "${BRINDLET_DESKTOP_TEMPLATE}" template)
string(CONFIGURE "${template}" entry @ONLY)
set(installed "${prefix}/share/applications/brindlet.desktop")
message(STATUS "Installing: $ENV{DESTDIR}${installed}")
file(WRITE "$ENV{DESTDIR}${installed}" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${installed}")
