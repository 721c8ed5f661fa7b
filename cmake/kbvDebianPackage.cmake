# The Debian package: the programs with their desktop entry and icon, the
# libraries with their headers, CMake package and pkg-config file, in one
# package "kbvopenai" under /usr. Run-time dependencies come from
# dpkg-shlibdeps over the programs; the window also needs Qt's platform
# plugins, which Qt itself only recommends. Building against the libraries
# needs the -dev packages of their dependencies: suggested.
set(KBV_PACKAGE_MAINTAINER "kbvOpenAI maintainers <maintainers@users.noreply.c-seed-bb3e1065.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kbvopenai)
set(CPACK_PACKAGE_VENDOR "kbvOpenAI")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OpenAI REST API client: desktop window, command line and C++ library")
set(CPACK_PACKAGE_DESCRIPTION
"kbvOpenAI calls every endpoint of the OpenAI REST API (and of compatible
servers), with streamed completions and microphone recordings over ALSA.

This package holds the desktop window kbvOpenAI (Qt 6), the command line
kbvopenai, and the C++20 libraries beneath them (OpenAI client, HTTP API
client, HTTP/1.1 over OpenSSL, JSON) as static libraries with their headers,
a CMake package (find_package(kbvOpenAI)) and a pkg-config file.")
set(CPACK_PACKAGE_CONTACT "${KBV_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KBV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "cmake, pkg-config, g++ (>= 4:12), libssl-dev, zlib1g-dev, libpsl-dev, libgnutls28-dev, libasound2-dev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
