# Installation and the Debian package. Only the production program is
# installed: no simulator, no tests. Nothing carries an RPATH, so the tree
# can be moved anywhere.
include(GNUInstallDirs)

set(KORVALIN_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvalin-cap)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS korvalin-cap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/korvalin-cap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/schema/commands.schema.json ${PROJECT_SOURCE_DIR}/schema/events.schema.json
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/korvalin-cap)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_LIST_DIR}/changelog
        DESTINATION ${KORVALIN_DOC_DIR})

# Debian wants the manual page and the changelog compressed, without a
# timestamp; CPack sets KORVALIN_DEBIAN_LAYOUT when it stages the package.
install(CODE "
  if(KORVALIN_DEBIAN_LAYOUT)
    foreach(file ${CMAKE_INSTALL_MANDIR}/man1/korvalin-cap.1 ${KORVALIN_DOC_DIR}/changelog)
      execute_process(COMMAND gzip -9nf \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

set(CPACK_PACKAGE_NAME korvalin-cap)
set(CPACK_PACKAGE_VENDOR "Korvalin")
set(CPACK_PACKAGE_CONTACT "Korvalin developers <dev@korvalin.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture sidecar for a meeting recorder")
set(CPACK_PACKAGE_DESCRIPTION
    "A host application starts korvalin-cap as a child process and drives it\n"
    "over JSON lines. It records the default microphone and everything the\n"
    "system plays on separate channels into fragmented AAC .m4a segments,\n"
    "follows device changes, and merges, repairs and analyzes recordings.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)
set(CPACK_CUSTOM_INSTALL_VARIABLES KORVALIN_DEBIAN_LAYOUT=ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
