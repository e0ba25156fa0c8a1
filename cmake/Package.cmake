# The Debian package and the RPM (`make package`, or `cpack` in a configured build folder):
# whatever `cmake --install` puts in place, always under /usr, whatever prefix the build was
# configured for. The files that name a path of the package are written at install time, for
# this prefix. Both packages are made from that one tree, so they hold the same files.
set(NOCTAVE_PACKAGE_MAINTAINER "Noctave Engineering <eng@noctave.invalid>"
    CACHE STRING "Maintainer of the Debian package, packager of the RPM")
# No licence has been granted yet, so all rights stay reserved; RPM needs the tag filled in.
set(NOCTAVE_PACKAGE_LICENSE "LicenseRef-Proprietary"
    CACHE STRING "License tag of the RPM (an SPDX expression)")

set(CPACK_GENERATOR DEB RPM)
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

# The RPM, named as rpmbuild names it: noctave-<version>-1.<arch>.rpm. RPM sorts "~beta" before
# the release as dpkg does.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_SUMMARY "Keep a laptop running with its lid closed")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE "${NOCTAVE_PACKAGE_LICENSE}")
set(CPACK_RPM_PACKAGE_URL "${CPACK_DEBIAN_PACKAGE_HOMEPAGE}")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
# Not relocatable: the bus activation file and udev expect the files under /usr.
set(CPACK_PACKAGE_RELOCATABLE OFF)
# One changelog entry, this release on its release date (rpm wants the weekday as well).
execute_process(COMMAND date -u -d "${NOCTAVE_RELEASE_DATE}" "+%a %b %d %Y"
                OUTPUT_VARIABLE _rpm_release_day OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/rpm-changelog
     "* ${_rpm_release_day} ${NOCTAVE_PACKAGE_MAINTAINER} - ${CPACK_PACKAGE_VERSION}-1\n"
     "- Noctave ${CPACK_PACKAGE_VERSION}\n")
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/packaging/rpm-changelog)
# Dependencies come from the libraries too: rpmbuild's own ELF scan requires each library by its
# soname, "libQt6Core.so.6()(64bit)". Fedora's packages provide exactly those names, so the
# package asks for no distribution's package names (which differ between releases, and where
# two packages ship one library, such as libcurl and libcurl-minimal, either will do).
# It ships no library, so it offers other packages nothing beyond its name.
set(CPACK_RPM_PACKAGE_AUTOREQ yes)
set(CPACK_RPM_PACKAGE_AUTOPROV no)
# It owns only its own folders (those naming it), which rpm removes with it; the folders of the
# system's packages (filesystem, hicolor-icon-theme, systemd-udev, dbus, gnome-shell) it leaves
# to them.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/lib/udev
    /usr/lib/udev/rules.d
    /usr/share/applications
    /usr/share/dbus-1
    /usr/share/dbus-1/services
    /usr/share/gnome-shell
    /usr/share/gnome-shell/extensions
    /usr/share/icons
    /usr/share/icons/hicolor
    /usr/share/man
    /usr/share/man/man1
    /usr/share/metainfo)
foreach(_size 16x16 16x16@2 32x32 32x32@2 64x64 128x128 128x128@2 256x256 256x256@2 512x512
              512x512@2)
  list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
       /usr/share/icons/hicolor/${_size} /usr/share/icons/hicolor/${_size}/apps)
endforeach()
list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
     /usr/share/icons/hicolor/scalable /usr/share/icons/hicolor/scalable/status)
# The files go in as CPack made them, already stripped, byte for byte those of the .deb:
# rpmbuild's own post-install pass (stripping comments and notes, recompressing man pages) and
# its /usr/lib/.build-id links, which only a debuginfo package would use, are left out. CPack
# places these lines in the preamble, which is also where the weak dependency goes: dnf installs
# a Recommends by default, as apt does; CPack has no variable for it, nor for the packager.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define __os_install_post %{nil}
%define _build_id_links none
Packager: ${NOCTAVE_PACKAGE_MAINTAINER}
Recommends: ${CPACK_DEBIAN_PACKAGE_RECOMMENDS}")
# The .deb's postinst, after an install or an upgrade; and after a removal too, which gives the
# sensor its root-only node back: in RPM a removal script leaves no record behind, as a postrm
# does in dpkg.
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE "${PROJECT_SOURCE_DIR}/packaging/rpm/apply-udev-rules")
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE "${PROJECT_SOURCE_DIR}/packaging/rpm/apply-udev-rules")

include(CPack)
