# The Debian package (`make package`, or `cpack` in a configured build folder): whatever
# `cmake --install` puts in place, always under /usr, whatever prefix the build was configured
# for. The files that name a path of the package are written at install time, for this prefix.
set(NOCTAVE_PACKAGE_MAINTAINER "Noctave Engineering <eng@noctave.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME noctave)
set(CPACK_PACKAGE_VENDOR "Quillor")
set(CPACK_PACKAGE_CONTACT "${NOCTAVE_PACKAGE_MAINTAINER}")
# A beta sorts before the release of the same number ("1.2.0~beta" < "1.2.0").
if(NOCTAVE_BETA)
  set(CPACK_PACKAGE_VERSION "${NOCTAVE_PACKAGE_VERSION}~beta")
else()
  set(CPACK_PACKAGE_VERSION "${NOCTAVE_PACKAGE_VERSION}")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep a laptop running with its lid closed")
# Lines of the long description stay under 80 columns, as dpkg and apt show them.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Noctave keeps a laptop awake and running with its lid closed, so that long
jobs such as builds, downloads and coding agents carry on while the display
sleeps. It lives in the tray: arm the next lid close from its menu, with
Ctrl+Alt+Super+L, or by holding Fn while closing the lid. While a session
stands it holds off lid sleep through systemd-logind, locks the session and
blanks the panel; it disarms when the battery runs low.]=])

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://${NOCTAVE_WEB_DOMAIN}")
# Dependencies come from the libraries the program links (dpkg-shlibdeps). UPower is asked over
# D-Bus, which no linker sees; without it the battery is read from sysfs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "upower")
# Only an install needs a script (to apply the udev rule to a sensor already plugged in): udevd
# notices a removed rule by itself, and a package without postrm leaves no record once removed.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/debian/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
