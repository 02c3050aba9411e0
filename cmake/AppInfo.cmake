# The application's information: one set of values for the generated
# AppInfoValues.h (every platform) and the macOS bundle's Info.plist.
# Each can be overridden on the command line (-DDAEMONARY_BUNDLE_IDENTIFIER=...);
# the versions otherwise follow project(VERSION) so a bump needs no cache reset.
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

# Updates are the packager's to switch on: without a feed the application
# makes no update checks, without a key it keeps no download.
set(DAEMONARY_FEED_URL "" CACHE STRING
  "SUFeedURL: the update feed (appcast) URL; empty for no update checks")
set(DAEMONARY_PUBLIC_ED_KEY "" CACHE STRING
  "SUPublicEDKey: base64 Ed25519 public key that signs the update downloads")

# Info.plist carries the two keys only when they are set: an empty SUFeedURL
# would be a feed that cannot be read.
function(daemonary_plist_string out key value)
  string(REPLACE "&" "&amp;" value "${value}")
  string(REPLACE "<" "&lt;" value "${value}")
  string(REPLACE ">" "&gt;" value "${value}")
  set(${out} "${${out}}\t<key>${key}</key>\n\t<string>${value}</string>\n" PARENT_SCOPE)
endfunction()
set(DAEMONARY_INFO_PLIST_UPDATE_KEYS "")
if(NOT DAEMONARY_FEED_URL STREQUAL "")
  daemonary_plist_string(DAEMONARY_INFO_PLIST_UPDATE_KEYS SUFeedURL "${DAEMONARY_FEED_URL}")
endif()
if(NOT DAEMONARY_PUBLIC_ED_KEY STREQUAL "")
  daemonary_plist_string(DAEMONARY_INFO_PLIST_UPDATE_KEYS SUPublicEDKey
                         "${DAEMONARY_PUBLIC_ED_KEY}")
endif()
