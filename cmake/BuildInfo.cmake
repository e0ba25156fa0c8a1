# Build-time settings: the application's 'information dictionary'. Values that are empty or
# begin with REPLACE_ME count as unset (see AppInfo).
set(NOCTAVE_VERSION "${PROJECT_VERSION}" CACHE STRING "Short version string shown to the user")
option(NOCTAVE_BETA "Mark the build as a beta (the version then reads \"1.2.3 Beta\")" OFF)
if(NOCTAVE_BETA)
  set(NOCTAVE_BETA_CXX true)
else()
  set(NOCTAVE_BETA_CXX false)
endif()
set(NOCTAVE_CONFIG_URL "REPLACE_ME" CACHE STRING "HTTPS address of the remote configuration document")
set(NOCTAVE_FEED_URL "REPLACE_ME" CACHE STRING "Update feed address")
set(NOCTAVE_PUBLIC_ED_KEY "REPLACE_ME" CACHE STRING "Public EdDSA key of the update feed")
set(NOCTAVE_WEB_DOMAIN "noctave.app" CACHE STRING "The maker's web domain (links in notices)")
configure_file(${CMAKE_CURRENT_LIST_DIR}/BuildInfo.hpp.in ${CMAKE_BINARY_DIR}/generated/noctave/BuildInfo.hpp @ONLY)
