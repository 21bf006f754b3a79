# Source lists are collected per folder so that adding a file to a folder
# needs no edit here. CONFIGURE_DEPENDS re-runs the glob on every build.
function(dualcam_sources out)
  set(files)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${dir}/*.cpp")
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
