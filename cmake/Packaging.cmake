# Desktop integration (menu entry, icons, AppStream data) and the Debian package.
# Included from the top CMakeLists.txt after app/program (the program's own install rule
# lives there) and before tests/ (tests/packaging reads the variables set here).
include(GNUInstallDirs)

# AppStream component id; the desktop entry carries the same name so software centres and
# Wayland compositors match window, menu entry and metadata.
set(QUORVIX_APP_ID com.morlaid.Quorvix)
set(QUORVIX_ICON_NAME quorvix)
set(QUORVIX_ICON_SIZES_PX 16 32 48 64 128 256)
set(QUORVIX_MAINTAINER "Morlaid Quorvix team <quorvix@morlaid.com>"
    CACHE STRING "Maintainer field of the Debian package")

set(_pkg ${PROJECT_SOURCE_DIR}/packaging)

# The web addresses in the metainfo follow the configured site host.
configure_file(${_pkg}/${QUORVIX_APP_ID}.metainfo.xml.in
  ${PROJECT_BINARY_DIR}/packaging/${QUORVIX_APP_ID}.metainfo.xml @ONLY)

install(FILES ${_pkg}/${QUORVIX_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_BINARY_DIR}/packaging/${QUORVIX_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(px ${QUORVIX_ICON_SIZES_PX})
  install(FILES ${_pkg}/icons/hicolor/${px}x${px}/apps/${QUORVIX_ICON_NAME}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${px}x${px}/apps)
endforeach()
install(FILES ${_pkg}/icons/hicolor/scalable/apps/${QUORVIX_ICON_NAME}.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The manual page, with the project's version, compressed as Debian ships manual pages.
configure_file(${_pkg}/quorvix.1.in ${PROJECT_BINARY_DIR}/packaging/quorvix.1 @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/quorvix.1.gz
  COMMAND gzip -9nkf quorvix.1
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/quorvix.1
  VERBATIM)
add_custom_target(quorvix_manpage ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/quorvix.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/quorvix.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The icon drawing tool (packaging/make-app-icon.sh). The normal test build also builds it:
# a test redraws the icons and compares them with the committed files.
if(QUORVIX_BUILD_TESTS AND NOT QUORVIX_SANITIZE AND NOT QUORVIX_TSAN)
  add_executable(make_app_icon ${_pkg}/make_app_icon.cpp)
else()
  add_executable(make_app_icon EXCLUDE_FROM_ALL ${_pkg}/make_app_icon.cpp)
endif()
target_link_libraries(make_app_icon PRIVATE Qt5::Gui)

# Debian package: cpack -G DEB (tests/packaging/check-package.sh builds and checks it).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvix)
set(CPACK_PACKAGE_VENDOR Morlaid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUORVIX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use a phone or an action camera as a webcam")
set(CPACK_PACKAGE_DESCRIPTION
  "Quorvix receives the RTMP stream that a GoPro, a Mevo, an iPhone running Larix
Broadcaster or any other RTMP publisher pushes over the local network, and presents it
as a virtual webcam (through the v4l2loopback kernel module), as an NDI source (when the
NDI runtime is installed) and in a preview window. While no camera streams, the webcam
shows a no-signal card.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVIX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://${QUORVIX_SITE_HOST}/")
# Library packages come from dpkg-shlibdeps on the installed program; the card's font is
# found through fontconfig at run time, so no tool can see that dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
# The virtual webcam needs the module, but the program runs (NDI, preview) without it;
# pkexec lets the window load the module after asking for the password.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "v4l2loopback-dkms, pkexec")
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.cache/")
include(CPack)
