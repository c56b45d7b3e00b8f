# Desktop integration, manual pages and the .deb package. The programs and
# the library install themselves from their own folders.
#
#   cmake --install build [--prefix DIR]
#   cmake --build build --target package       -> build/vellumo_<version>_<arch>.deb

set(VELLUMO_DATADIR ${CMAKE_INSTALL_DATADIR})

if(VELLUMO_BUILD_VIEWER)
  install(FILES ${PROJECT_SOURCE_DIR}/desktop/vellumo.desktop
    DESTINATION ${VELLUMO_DATADIR}/applications)
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/res/icons/app/vellumo-${size}.png
      DESTINATION ${VELLUMO_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME vellumo.png)
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/res/icons/vellumo.svg
    DESTINATION ${VELLUMO_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${PROJECT_SOURCE_DIR}/man/vellumo.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/desktop/vellumo-wsq.xml
  DESTINATION ${VELLUMO_DATADIR}/mime/packages)

if(VELLUMO_BUILD_TOOLS)
  install(FILES ${PROJECT_SOURCE_DIR}/desktop/vellumo.thumbnailer
    DESTINATION ${VELLUMO_DATADIR}/thumbnailers)
  install(FILES ${PROJECT_SOURCE_DIR}/man/wsqtool.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- .deb ---------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellumo)
set(CPACK_PACKAGE_VENDOR "Corvanta")
set(CPACK_PACKAGE_CONTACT "Corvanta <vellumo@corvanta.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "WSQ fingerprint image viewer and codec")
set(CPACK_PACKAGE_DESCRIPTION
  "Vellumo shows WSQ fingerprint images (the wavelet/scalar quantization\nformat for 8-bit gray fingerprints), decodes them with its own codec\nlibrary and saves them as BMP, PNG or PGM. The package also holds\nwsqtool, the codec library with its headers, CMake package and\npkg-config file, a thumbnailer and the WSQ MIME type.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.corvanta.example/vellumo")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the SVG icon
# plugin, and the MIME and desktop databases that dpkg triggers refresh.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, shared-mime-info")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils, xdg-utils")
include(CPack)
