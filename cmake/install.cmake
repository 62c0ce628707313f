# What a desktop needs besides the program (installed from src/): the menu
# entry, the icon at every size, the software-centre description and the
# manual page, under names taken from one reverse-DNS application id.
include(GNUInstallDirs)

set(TAVRELLE_APP_ID io.github.tavrelle.Tavrelle)
set(tavrelle_data ${PROJECT_SOURCE_DIR}/data)

install(FILES ${tavrelle_data}/${TAVRELLE_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${tavrelle_data}/${TAVRELLE_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

foreach(size 16 32)
  install(FILES ${PROJECT_SOURCE_DIR}/src/window/icons/tavrelle-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${TAVRELLE_APP_ID}.png)
endforeach()
install(FILES ${tavrelle_data}/${TAVRELLE_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Debian ships manual pages compressed; -n keeps name and time out of the
# archive so that two builds give the same bytes.
find_program(TAVRELLE_GZIP gzip REQUIRED)
set(tavrelle_man_page ${PROJECT_BINARY_DIR}/data/tavrelle.1.gz)
add_custom_command(OUTPUT ${tavrelle_man_page}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/data
  COMMAND ${TAVRELLE_GZIP} -9 -n -c ${tavrelle_data}/tavrelle.1 > ${tavrelle_man_page}
  DEPENDS ${tavrelle_data}/tavrelle.1
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(tavrelle_man_page ALL DEPENDS ${tavrelle_man_page})
install(FILES ${tavrelle_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian's policy for every package: the licence in the machine-readable
# copyright format and a compressed changelog, under the package's doc folder.
install(FILES ${tavrelle_data}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(tavrelle_changelog ${PROJECT_BINARY_DIR}/data/changelog.gz)
add_custom_command(OUTPUT ${tavrelle_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/data
  COMMAND ${TAVRELLE_GZIP} -9 -n -c ${tavrelle_data}/changelog > ${tavrelle_changelog}
  DEPENDS ${tavrelle_data}/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(tavrelle_changelog ALL DEPENDS ${tavrelle_changelog})
install(FILES ${tavrelle_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
