# Installation layout and the Debian package (cpack -G DEB in the build folder):
# reflectivity_<version>_amd64.deb with the two programs and the sample generator under /usr/bin,
# a desktop entry and icon for the window, man pages, and dependencies found by dpkg-shlibdeps.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(_pkg ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
foreach(_program reflectivity reflectivity-batch reflectivity-sample)
    if(TARGET ${_program})
        install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        # Man pages are compressed with gzip -9n, as Debian wants them.
        set(_man ${CMAKE_CURRENT_BINARY_DIR}/packaging/${_program}.1.gz)
        add_custom_command(OUTPUT ${_man}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
            COMMAND sh -c "gzip -9n < '${_pkg}/${_program}.1' > '${_man}'"
            DEPENDS ${_pkg}/${_program}.1 VERBATIM)
        list(APPEND _compressed ${_man})
        install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()
set(_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND sh -c "gzip -9n < '${_pkg}/changelog' > '${_changelog}'"
    DEPENDS ${_pkg}/changelog VERBATIM)
add_custom_target(packaging_files ALL DEPENDS ${_compressed} ${_changelog})
install(FILES ${_changelog} ${_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/reflectivity)
install(FILES ${_pkg}/reflectivity.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${_pkg}/reflectivity.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME reflectivity)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "reflectivity developers <reflectivity@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multispectral drone images to reflectance and merged band TIFFs")
# The extended description; CPack indents it under the summary line.
set(CPACK_PACKAGE_DESCRIPTION
    "Groups the raw band images of a multispectral drone camera into captures,
measures the reference panel from its QR code, converts every image to
radiance or reflectance, corrects lens distortion (optionally self-calibrating
the lens), registers the bands of each capture and writes one multi-band TIFF
per capture with named bands, plus a run report (report.html).

Contains the window (reflectivity), the batch command (reflectivity-batch) and
a sample-flight generator (reflectivity-sample).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# The window's CJK texts need a font; the report opens in any browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
include(CPack)
