# Installed files and the Debian package (cpack -G DEB). Only the program and
# its desktop files are installed, never the test tools.
include(GNUInstallDirs)

# The project owns no domain yet: korvo.example is a reserved placeholder.
set(KORVO_APP_ID example.korvo.Restore)
set(KORVO_HOMEPAGE https://korvo.example/)
set(KORVO_MAINTAINER "Korvo developers <developers@korvo.example>")

set(packaging_dir ${CMAKE_SOURCE_DIR}/packaging)
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)

# The top changelog entry must be this version, or the package would lie about itself.
file(STRINGS ${packaging_dir}/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^korvo-restore \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with version ${PROJECT_VERSION}")
endif()

configure_file(${packaging_dir}/${KORVO_APP_ID}.policy.in ${packaging_out}/${KORVO_APP_ID}.policy.in @ONLY)
configure_file(${packaging_dir}/${KORVO_APP_ID}.metainfo.xml.in ${packaging_out}/${KORVO_APP_ID}.metainfo.xml.in
               @ONLY)
configure_file(${packaging_dir}/korvo-restore.1.in ${packaging_out}/korvo-restore.1 @ONLY)

configure_file(${packaging_dir}/changelog ${packaging_out}/changelog COPYONLY)

# Debian wants manual pages and changelogs compressed, without a time stamp.
find_program(KORVO_GZIP gzip REQUIRED)
set(compressed)
foreach(name korvo-restore.1 changelog)
  add_custom_command(OUTPUT ${packaging_out}/${name}.gz
                     COMMAND ${KORVO_GZIP} -9nkf ${name}
                     WORKING_DIRECTORY ${packaging_out}
                     DEPENDS ${packaging_out}/${name}
                     VERBATIM)
  list(APPEND compressed ${packaging_out}/${name}.gz)
endforeach()
# The launcher, the AppStream data and the polkit action carry every
# language of po/LINGUAS; the ITS rules in po/its pick the texts of the two
# XML files.
set(translated)
foreach(name ${KORVO_APP_ID}.desktop ${KORVO_APP_ID}.metainfo.xml ${KORVO_APP_ID}.policy)
  if(name MATCHES "desktop$")
    set(template ${packaging_dir}/${name}.in)
    set(mode --desktop)
  else()
    set(template ${packaging_out}/${name}.in)
    set(mode --xml)
  endif()
  add_custom_command(OUTPUT ${packaging_out}/${name}
                     COMMAND ${CMAKE_COMMAND} -E env GETTEXTDATADIRS=${CMAKE_SOURCE_DIR}/po
                             ${KORVO_MSGFMT} ${mode} --template=${template} -d ${CMAKE_SOURCE_DIR}/po
                             -o ${packaging_out}/${name}
                     DEPENDS ${template} ${korvo_po_files} ${CMAKE_SOURCE_DIR}/po/LINGUAS
                     VERBATIM)
  list(APPEND translated ${packaging_out}/${name})
endforeach()
add_custom_target(korvo_packaging_files ALL DEPENDS ${compressed} ${translated})

install(TARGETS korvo-restore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${packaging_out}/${KORVO_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging_dir}/${KORVO_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${packaging_out}/${KORVO_APP_ID}.policy DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
install(FILES ${packaging_out}/${KORVO_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${packaging_out}/korvo-restore.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${packaging_dir}/copyright ${packaging_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvo-restore)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvo-restore)
set(CPACK_PACKAGE_VENDOR Korvo)
set(CPACK_PACKAGE_CONTACT ${KORVO_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move files, apps and settings from an old computer to Ubuntu")
# One line per line of the package's long description.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Korvo Restore is the second half of moving from an old computer to Ubuntu."
  "The Korvo backup tool fills a USB drive on the old computer; on the new one,"
  "Korvo Restore asks for the backup's password and copies the files into a"
  "Restored folder on the desktop, checking each one against the backup."
  "It then installs Linux apps that stand in for the old ones, makes importable"
  "files of Chrome, Edge and Brave bookmarks, moves Firefox bookmarks, history"
  "and passwords, adds the saved Wi-Fi networks and sets dark mode and the"
  "wallpaper. It runs in dialogs from the app grid, or in a terminal.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${KORVO_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools the program runs (shlibdeps adds the libraries): zenity for the
# dialogs the launcher starts; nmcli, gsettings, xdg-open, xdg-user-dir, pgrep
# and pkexec for the steps after the file copy; the restore goes on without them.
# policykit-1 carries pkexec up to Ubuntu 22.04; later releases package it alone.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zenity")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "network-manager, libglib2.0-bin, xdg-utils, xdg-user-dirs, procps, pkexec | policykit-1")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "firefox | firefox-esr, snapd")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
