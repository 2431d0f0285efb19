# The project's one version number (project(VERSION ...)), handed to the code:
# the Linux tool prints it for --version, and tarnwick.exe carries it in its
# version resource, which deployment tools and Explorer read, and in its
# manifest's assembly identity.
configure_file(${CMAKE_SOURCE_DIR}/src/app/version.h.in ${CMAKE_BINARY_DIR}/generated/app/version.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/src/app/version.rc.in ${CMAKE_BINARY_DIR}/generated/app/version.rc @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/src/app/tarnwick.manifest.in ${CMAKE_BINARY_DIR}/generated/app/tarnwick.manifest @ONLY)
