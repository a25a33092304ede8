# What `cmake --install` puts where on a freedesktop.org system (GNUInstallDirs
# paths under the prefix), and the Debian package CPack makes of it:
#   cmake --build build && (cd build && cpack -G DEB)

set(VANTREL_DATA_DIR ${PROJECT_SOURCE_DIR}/data)
set(VANTREL_GENERATED_DATA ${PROJECT_BINARY_DIR}/data)
set(VANTREL_APP_ID org.vantrel.vantrel)

if(UNIX AND NOT APPLE)
  install(FILES ${VANTREL_DATA_DIR}/${VANTREL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${VANTREL_DATA_DIR}/${VANTREL_APP_ID}.metainfo.xml
                 ${VANTREL_GENERATED_DATA}/${VANTREL_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${VANTREL_GENERATED_DATA}/${VANTREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${VANTREL_DATA_DIR}/icons/vantrel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 32 48 64 128 256)
    install(FILES ${VANTREL_DATA_DIR}/icons/vantrel-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME vantrel.png)
  endforeach()

  # The polkit action of "pkexec vantrel" names the installed program, so it
  # is written when installing, where the prefix is known.
  install(CODE "
    set(binary \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vantrel\")
    file(READ \"${VANTREL_DATA_DIR}/${VANTREL_APP_ID}.policy\" policy)
    string(REPLACE \"@VANTREL_INSTALL_BINARY@\" \"\${binary}\" policy \"\${policy}\")
    file(WRITE \"${VANTREL_GENERATED_DATA}/${VANTREL_APP_ID}.policy\" \"\${policy}\")
    file(INSTALL \"${VANTREL_GENERATED_DATA}/${VANTREL_APP_ID}.policy\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/polkit-1/actions\")")

  # Manual pages, compressed as Debian keeps them.
  find_program(VANTREL_GZIP gzip REQUIRED)
  set(man_pages)
  foreach(page vantrel vantrel-cli kobrel)
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${VANTREL_GENERATED_DATA}/man/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${VANTREL_GENERATED_DATA}/man/${page}.1.gz
      COMMAND ${VANTREL_GZIP} -9nkf ${VANTREL_GENERATED_DATA}/man/${page}.1
      DEPENDS ${VANTREL_GENERATED_DATA}/man/${page}.1 VERBATIM)
    list(APPEND man_pages ${VANTREL_GENERATED_DATA}/man/${page}.1.gz)
  endforeach()
  configure_file(${VANTREL_DATA_DIR}/debian/changelog ${VANTREL_GENERATED_DATA}/debian/changelog @ONLY)
  add_custom_command(OUTPUT ${VANTREL_GENERATED_DATA}/debian/changelog.gz
    COMMAND ${VANTREL_GZIP} -9nkf ${VANTREL_GENERATED_DATA}/debian/changelog
    DEPENDS ${VANTREL_GENERATED_DATA}/debian/changelog VERBATIM)
  add_custom_target(vantrel_docs ALL DEPENDS ${man_pages} ${VANTREL_GENERATED_DATA}/debian/changelog.gz)
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${VANTREL_DATA_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${VANTREL_GENERATED_DATA}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
          RENAME changelog.gz)
endif()

set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VENDOR "vantrel developers")
set(CPACK_PACKAGE_CONTACT "vantrel developers <maintainers@vantrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted and lost files from FAT disks")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://update.vantrel.example/")
set(CPACK_STRIP_FILES ON)
# Installed under the prefix the package is for, with DESTDIR into the staging
# folder, so that what names installed paths (the polkit action) names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The disk service and polkit make the window read disks without root.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, pkexec")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary above in front of it and indents its lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vantrel reads disks and disk images formatted with FAT12, FAT16 and FAT32
sector by sector and never writes to them. It finds the live tree of a
volume, deleted files and folders, lost folders and files, and whole
volumes whose partition-table entry or boot sector is gone, and saves
anything it finds to another drive.
.
The package holds the window (vantrel), the command line (vantrel-cli)
and the update checker (kobrel).")
include(CPack)
