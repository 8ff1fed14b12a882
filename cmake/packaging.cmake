# `cpack -G DEB` in the build tree makes kestrel_<version>_<arch>.deb, installing into /usr
# (the layout is described in cmake/install.cmake). Only what the install rules name is
# packaged: no test programs, benchmarks or fuzz replays.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(KESTREL_PACKAGE_MAINTAINER "Kestrel maintainers <kestrel@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${KESTREL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device-data driver for video-recording servers")
# The summary above is the first line of the Debian description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kestrel receives data from point-of-sale terminals, alarm panels, access-control
systems and video-analytics units over serial lines, UDP, TCP, HTTP, RTSP/RTP or
a proxy service, validates each message and maps it to events, metadata and
search tags for the recording host.
.
This package holds the driver library, the Heron, Plover and Sparrow validator
plug-ins, the reference host kestrel-host with example configurations, and the
headers and CMake and pkg-config files for hosts and plug-in authors.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The libraries the binaries link, as dpkg-shlibdeps reads them; without it the
# Debian 12 packages the build links against.
find_program(KESTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libstdc++6, libgcc-s1, libxml2, libcurl4, libssl3, libboost-regex1.74.0, libpcre2-8-0, libre2-9")
endif()

include(CPack)
