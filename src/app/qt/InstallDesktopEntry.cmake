# Run by `cmake --install`: writes the menu entry with the installed binary's full path under
# this install's prefix (the configured one or --prefix), so that a prefix whose bin is not on
# PATH still gives an entry the desktop accepts; GLib refuses an entry whose program it cannot
# find. DESTDIR is where the files are put, not where they run from: it stays out of the entry.
set(binary "${CMAKE_INSTALL_PREFIX}/bin/brindlet")
set(exec "${binary}")
# A path with characters the entry's Exec reserves is quoted, and the quoting escaped inside.
if(exec MATCHES "[^-A-Za-z0-9_./+,@:]")
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
# The value is a string of the key file: backslashes doubled; a literal % is written %%.
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
set(BRINDLET_EXEC "${exec}")
file(READ "${BRINDLET_DESKTOP_TEMPLATE}" template)
string(CONFIGURE "${template}" entry @ONLY)
set(installed "${CMAKE_INSTALL_PREFIX}/share/applications/brindlet.desktop")
message(STATUS "Installing: $ENV{DESTDIR}${installed}")
file(WRITE "$ENV{DESTDIR}${installed}" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${installed}")
