# Release packages, made by cpack from a build (scripts/release.sh does both):
#   the Windows cross build: a zip of the stripped tarnwick.exe with README,
#     LICENSE and the third-party notices;
#   the Linux build: a Debian package of the Linux tool, /usr/bin/tarnwick,
#     which needs the system's hivex (libhivex0).
# Included from the top-level CMakeLists.txt once the executables exist.
if(NOT TARGET tarnwick)
    return()
endif()

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "The tarnwick developers")
set(CPACK_PACKAGE_CONTACT "The tarnwick developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sets or deletes one registry value in every user profile of a Windows machine")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# Debug information stays in the build; the shipped programs are stripped.
set(CPACK_STRIP_FILES ON)
if(WIN32)
    install(TARGETS tarnwick RUNTIME DESTINATION .)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
                  ${CMAKE_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME tarnwick-${PROJECT_VERSION}-windows-x64)
    # Unpacks into a folder of its own.
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    install(TARGETS tarnwick RUNTIME DESTINATION bin)
    # Debian keeps a package's licence as doc/<package>/copyright.
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt
            DESTINATION share/doc/tarnwick)
    install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION share/doc/tarnwick RENAME copyright)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION admin)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "tarnwick writes a REG_SZ value (or deletes it) under the same subkey in the\nregistry hive of every user profile of a Windows system drive mounted on\nLinux, and optionally in the Default profile's hive.")
    # dpkg-shlibdeps names the libraries the binary is linked with, hivex
    # (libhivex0) among them, with the versions it needs.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
