# `cmake --install` (and the Debian package, which uses it): the programs of a
# session side by side in one private folder, since the host finds kestrix-job,
# and the client and the installer find the host, next to themselves; the
# extension as a folder beside them. The packaging links the client and the
# installer onto the path and writes the browsers' host manifests.
set(KESTRIX_INSTALL_PRIVATE_DIR "lib/kestrix" CACHE STRING "Folder below the prefix for the host and its programs")
install(TARGETS kestrix-host kestrix-job kestrix-client kestrix-install
  RUNTIME DESTINATION ${KESTRIX_INSTALL_PRIVATE_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/extension/ DESTINATION share/kestrix/extension)
