# Warnings for our own targets only; third-party headers come in as system includes.
add_library(daemonary_warnings INTERFACE)
target_compile_options(daemonary_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual
  $<$<BOOL:${DAEMONARY_WARNINGS_AS_ERRORS}>:-Werror>)
