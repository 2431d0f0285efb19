# Release packages, made by cpack from a build (scripts/release.sh does both):
#   the Windows cross build: a zip of the stripped tarnwick.exe with README,
#     LICENSE and the third-party notices;
#   the Linux build: a Debian package of the Linux tool, /usr/bin/tarnwick,
#     which needs only the system's C and C++ libraries.
# Included from the top-level CMakeLists.txt once the executables exist.
if(NOT TARGET tarnwick)
    return()
endif()

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "The tarnwick developers")
set(CPACK_PACKAGE_CONTACT "The tarnwick developers <tarnwick@example.org>")
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
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt
            DESTINATION share/doc/tarnwick)

    # What Debian's tools expect beside the program. The licence as
    # doc/tarnwick/copyright in the machine-readable format, its holder and
    # text taken from LICENSE.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
    file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" notice "${license}")
    set(TARNWICK_COPYRIGHT "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "^.*\n(Permission )" "\\1" license "${license}")
    string(STRIP "${license}" license)
    string(REPLACE "\n\n" "\n.\n" license "${license}")
    string(REPLACE "\n" "\n " TARNWICK_LICENSE_TEXT "${license}")
    set(docs ${CMAKE_BINARY_DIR}/debian)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/copyright.in ${docs}/copyright @ONLY)
    # The manual page, made from the tool's own --help text so that the two
    # never differ, and the changelog, both compressed as Debian keeps them.
    add_custom_command(OUTPUT ${docs}/tarnwick.1.gz
        COMMAND sh -c "help=$(\"$1\" --help) && page=$(printf '%s\\n' \"$help\" | awk -v name=tarnwick -v version=\"$2\" -v summary=\"$3\" -f \"$4\") && printf '%s\\n' \"$page\" | gzip -9n >\"$5\""
                manpage $<TARGET_FILE:tarnwick> ${PROJECT_VERSION} ${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
                ${CMAKE_SOURCE_DIR}/cmake/manpage.awk ${docs}/tarnwick.1.gz
        DEPENDS tarnwick ${CMAKE_SOURCE_DIR}/cmake/manpage.awk
        VERBATIM)
    add_custom_command(OUTPUT ${docs}/changelog.gz
        COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" changelog ${CMAKE_SOURCE_DIR}/cmake/debian/changelog ${docs}/changelog.gz
        DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian/changelog
        VERBATIM)
    add_custom_target(tarnwick_package_docs ALL DEPENDS ${docs}/tarnwick.1.gz ${docs}/changelog.gz)
    install(FILES ${docs}/copyright ${docs}/changelog.gz DESTINATION share/doc/tarnwick)
    install(FILES ${docs}/tarnwick.1.gz DESTINATION share/man/man1)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION admin)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "tarnwick sets or deletes a registry value, deletes a key, or applies a\nregistry file (.reg) in the hive of every user profile of a Windows system\ndrive mounted on Linux, and optionally in the Default profile's hive.")
    # dpkg-shlibdeps names the libraries the binary is linked with, with the
    # versions it needs.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
