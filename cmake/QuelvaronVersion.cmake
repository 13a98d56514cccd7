# qv_version_resource(<target> "<file description>")
#
# Gives a Windows program or DLL its version resource, from the one template
# cmake/version.rc.in and the project version (the only place the version is
# written; the MSI takes it from there too). Windows Installer compares these
# versions to decide which files an upgrade replaces. No-op off Windows.
function(qv_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(QV_TARGET ${target})
  set(QV_DESCRIPTION "${description}")
  string(REPLACE "." "," QV_VERSION_COMMAS "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(QV_FILETYPE VFT_APP)
  else()
    set(QV_FILETYPE VFT_DLL)
  endif()
  set(dir ${CMAKE_BINARY_DIR}/version-resources)
  # Two passes: configure_file fills the version and texts, file(GENERATE)
  # the output file name, which only the generator knows.
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${dir}/${target}.rc.in @ONLY)
  file(GENERATE OUTPUT ${dir}/${target}.rc INPUT ${dir}/${target}.rc.in)
  enable_language(RC)
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
endfunction()
