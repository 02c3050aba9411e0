# Header-only libraries found on the build machine, made usable by a cross
# build. Their packages point at the build machine's /usr/include, and adding
# that folder to a Mac build would put glibc's headers in front of the
# target's. Only the library's own folder is copied aside and used instead.
function(daemonary_rehome_headers target folder)
  get_target_property(_dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  foreach(_dir IN LISTS _dirs)
    if(EXISTS "${_dir}/${folder}")
      set(_private "${PROJECT_BINARY_DIR}/cross-include/${folder}")
      file(COPY "${_dir}/${folder}/" DESTINATION "${_private}/${folder}")
      set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${_private}")
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${target}: no ${folder}/ under ${_dirs}")
endfunction()

daemonary_rehome_headers(nlohmann_json::nlohmann_json nlohmann)
