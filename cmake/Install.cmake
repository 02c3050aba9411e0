# Installation of the application. The command-line tool and the resource
# lists install themselves (src/cli, resources); this adds the osquery
# extension, the application,
# its desktop entry and icon on Linux, and the bundle on macOS.
#
# macOS: the application is built as Daemonary.app with the Info.plist of
# src/app/Info.plist.in and the resource lists in Contents/Resources, where
# ResourceLocator looks for them. Not yet verified on a Mac.
# The osquery extension goes beside daemonary-cli, where it finds the same
# resource lists. osquery loads only extension binaries that no one but
# root (or the user running osquery) can write; 755 is what it expects.
if(TARGET daemonary.ext)
  install(TARGETS daemonary.ext RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                WORLD_READ WORLD_EXECUTE)
endif()

if(NOT TARGET daemonary)
  return()
endif()

if(APPLE)
  get_directory_property(_daemonary_bundle_resources
    DIRECTORY ${PROJECT_SOURCE_DIR}/resources DEFINITION DAEMONARY_RESOURCE_FILES)
  list(TRANSFORM _daemonary_bundle_resources PREPEND ${PROJECT_SOURCE_DIR}/resources/)
  target_sources(daemonary PRIVATE ${_daemonary_bundle_resources})
  set_source_files_properties(${_daemonary_bundle_resources} TARGET_DIRECTORY daemonary
    PROPERTIES MACOSX_PACKAGE_LOCATION Resources)
  set_target_properties(daemonary PROPERTIES
    OUTPUT_NAME Daemonary
    MACOSX_BUNDLE TRUE
    MACOSX_BUNDLE_INFO_PLIST ${PROJECT_SOURCE_DIR}/src/app/Info.plist.in)
  install(TARGETS daemonary BUNDLE DESTINATION Applications)
else()
  install(TARGETS daemonary RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/resources/daemonary.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/daemonary.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
