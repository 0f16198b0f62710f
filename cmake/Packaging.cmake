# scripts/package runs CPack over whatever `cmake --install` installs: a Debian package for the
# system and a relocatable tarball for a per-user install (the program finds its Info.json next
# to itself, so the tree works from any folder).

if(VHBR_UPDATE_FEED_URL MATCHES "[\"\\\\]" OR VHBR_UPDATE_PUBLIC_KEY MATCHES "[\"\\\\]")
  message(FATAL_ERROR "VHBR_UPDATE_FEED_URL and VHBR_UPDATE_PUBLIC_KEY may not contain quotes or backslashes")
endif()

# What Debian asks of every package: its copyright, and a changelog compressed reproducibly.
set(vhbr_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/velvetharbor)
set(vhbr_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${vhbr_changelog} DESTINATION ${vhbr_doc_dir})

execute_process(COMMAND uname -m OUTPUT_VARIABLE vhbr_machine OUTPUT_STRIP_TRAILING_WHITESPACE)

set(CPACK_PACKAGE_NAME velvetharbor)
set(CPACK_PACKAGE_VENDOR "Velvetharbor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velvetharbor <packages@velvetharbor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion of the Velvetharbor subtitling service")
# Debian takes the summary as the synopsis and the description as the extended text.
set(CPACK_PACKAGE_DESCRIPTION
    "Velvetharbor signs in through the system browser and uploads large media\nfiles to the Velvetharbor subtitling and translation service, resuming\ninterrupted uploads where they stopped.")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 2)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # velvetharbor_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The web content's sandbox: WebKit runs its web process in bubblewrap, with a D-Bus proxy. No
# library links them, so shlibdeps cannot find them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bubblewrap, xdg-dbus-proxy")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})  # the metainfo names the same
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# velvetharbor-<version>-linux-<machine>.tar.gz with one top folder of that name (CPack reads
# this file once per generator).
set(VHBR_TARBALL_NAME "velvetharbor-${PROJECT_VERSION}-linux-${vhbr_machine}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/CPackProjectConfig.cmake.in
               ${CMAKE_BINARY_DIR}/packaging/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/CPackProjectConfig.cmake)

include(CPack)
