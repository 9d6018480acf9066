# A Debian package of what `cmake --install` installs: cpack -G DEB in the build folder.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr, so that the programs' RUNPATH and the private
# library folder are those of the package.
set(CPACK_PACKAGE_NAME hakomi)
set(CPACK_PACKAGE_VENDOR "the hakomi authors")
set(CPACK_PACKAGE_CONTACT "the hakomi authors <hakomi@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look inside every ZIP archive below a folder")
set(CPACK_PACKAGE_DESCRIPTION
    "hakomi finds every ZIP archive below a folder and shows the names of their entries\n\
as a tree, without extracting anything, with a search window that steps through\n\
the names. Names in UTF-8 or in the Japanese Shift_JIS code page are shown\n\
correctly. The interface is Japanese. hakomi-ls prints the same tree on a terminal.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs and libUnZip32 link (Qt 6, ICU, the C++ runtime) come from
# dpkg-shlibdeps; what is only loaded at run time is named here: the Qt platform plugins, and
# a font with Japanese glyphs for the interface.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-ipafont-gothic | fonts-japanese-gothic")

include(CPack)
