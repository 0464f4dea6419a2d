# Where `cmake --install` puts the programs and what `cpack -G DEB` packs.
#
# The two libraries that only our programs load (the settings dialog of the
# host, the Simple MAPI library) live in private folders under <prefix>/lib,
# the same on every architecture; the programs look beside themselves first
# (a build tree), then there.
include(GNUInstallDirs)

file(RELATIVE_PATH NUVEX_LIBDIR_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_PREFIX}/lib)
set(NUVEX_HOST_MODULE_DIR lib/brannock)
set(NUVEX_PRIVATE_LIB_DIR lib/nuvex)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install_dirs.h.in ${PROJECT_BINARY_DIR}/generated/install_dirs.h @ONLY)

set(_res ${PROJECT_SOURCE_DIR}/resources)
install(FILES ${_res}/desktop/org.brannock.Nuvex.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_res}/desktop/org.brannock.Nuvex.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${_res}/icons/nuvex-${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME nuvex.png)
endforeach()
install(FILES ${_res}/icons/nuvex.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The plug-in is started by the session bus on the host's first call. The
# file names the program by its full path, so it is written when installing:
# cpack installs under its own prefix, not the one the tree was configured with.
set(_service ${PROJECT_BINARY_DIR}/generated/org.brannock.Nuvex.service)
install(CODE "file(WRITE \"${_service}\" \"[D-BUS Service]\\nName=org.brannock.Nuvex\\nExec=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/nuvex\\n\")")
install(FILES ${_service} DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/services)

# Manual pages and the package's documents, compressed as Debian keeps them.
find_program(NUVEX_GZIP gzip REQUIRED)
set(_compressed)
foreach(page nuvex nuvex-account brannock)
  set(_out ${PROJECT_BINARY_DIR}/generated/${page}.1.gz)
  add_custom_command(OUTPUT ${_out} COMMAND ${NUVEX_GZIP} -9n -c ${_res}/man/${page}.1 > ${_out}
    DEPENDS ${_res}/man/${page}.1 VERBATIM)
  list(APPEND _compressed ${_out})
  install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
set(_changelog ${PROJECT_BINARY_DIR}/generated/changelog.Debian.gz)
add_custom_command(OUTPUT ${_changelog} COMMAND ${NUVEX_GZIP} -9n -c ${_res}/package/changelog > ${_changelog}
  DEPENDS ${_res}/package/changelog VERBATIM)
add_custom_target(nuvex_install_docs ALL DEPENDS ${_compressed} ${_changelog})
install(FILES ${_changelog} ${_res}/package/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nuvex)

set(CPACK_PACKAGE_NAME nuvex)
set(CPACK_PACKAGE_VENDOR "Nuvex developers")
set(CPACK_PACKAGE_CONTACT "Nuvex developers <maintainers@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "e-mail notifier for the desktop's toolbar and tray")
set(CPACK_PACKAGE_DESCRIPTION
  "Nuvex watches any number of mail accounts (POP3, Gmail, hosted webmail\n\
services), counts new and unread mail on each account's own schedule, and\n\
reports it through a toolbar button, a tray icon, a notification and a sound.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Programs the plug-in runs rather than links: the browser opener and the
# mail-client bridge; the session bus that starts it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils, default-dbus-session-bus | dbus-session-bus, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "chromium, sound-theme-freedesktop")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
