# Windows identity of the shipped programs: every .exe carries a version resource (what Explorer's
# "Details" tab, antivirus products and SmartScreen show) and an application manifest (runs as
# the invoking user; declares Windows 7 to 11 supported so that no compatibility shims apply).
# The version is the project's; the company is set at configure time by whoever ships the build.
if(WIN32)
  set(KCS_COMPANY_NAME "The korvessa-client-services authors" CACHE STRING
      "CompanyName in the Windows executables' version resource (a placeholder: set your own)")
  enable_language(RC)
  # The copyright line of the licence, word for word.
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE KCS_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
endif()

# kcs_windows_resources(TARGET DESCRIPTION): gives the executable TARGET its version resource,
# with DESCRIPTION as FileDescription, and the manifest. Elsewhere than on Windows, or without
# such a target, it does nothing.
function(kcs_windows_resources target description)
  if(NOT WIN32 OR NOT TARGET ${target})
    return()
  endif()
  set(version ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH})
  if(PROJECT_VERSION_TWEAK STREQUAL "")
    list(APPEND version 0)
  else()
    list(APPEND version ${PROJECT_VERSION_TWEAK})
  endif()
  list(JOIN version "," KCS_RC_VERSION_COMMAS)
  list(JOIN version "." KCS_RC_VERSION)
  set(KCS_RC_TARGET ${target})
  set(KCS_RC_FILE_NAME ${target}.exe)
  set(KCS_RC_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/windows.manifest)
  # A double quote inside a resource string is written twice.
  string(REPLACE "\"" "\"\"" KCS_RC_COPYRIGHT "${KCS_COPYRIGHT}")
  string(REPLACE "\"" "\"\"" KCS_RC_COMPANY_NAME "${KCS_COMPANY_NAME}")
  string(REPLACE "\"" "\"\"" KCS_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows-resource.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres reads the manifest itself: a changed manifest has to rebuild the resource.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${KCS_RC_MANIFEST})
endfunction()
