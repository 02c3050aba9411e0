# The application's information: one set of values for the generated
# AppInfoValues.h (every platform) and the macOS bundle's Info.plist.
# Each can be overridden on the command line (-DDAEMONARY_FEED_URL=...); the
# versions otherwise follow project(VERSION) so a bump needs no cache reset.
set(DAEMONARY_BUNDLE_NAME "Daemonary")
if(NOT DEFINED DAEMONARY_BUNDLE_IDENTIFIER)
  set(DAEMONARY_BUNDLE_IDENTIFIER "example.daemonary.Daemonary")
endif()
if(NOT DEFINED DAEMONARY_SHORT_VERSION)
  set(DAEMONARY_SHORT_VERSION "${PROJECT_VERSION}")
endif()
if(NOT DEFINED DAEMONARY_BUNDLE_VERSION)
  set(DAEMONARY_BUNDLE_VERSION "${PROJECT_VERSION}")
endif()
if(NOT DEFINED DAEMONARY_FEED_URL)
  set(DAEMONARY_FEED_URL "${PROJECT_HOMEPAGE_URL}/appcast.xml")
endif()
