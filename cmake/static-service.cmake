# The Linux service that the packages and the launcher kits carry runs on every x86-64 Linux: it
# is linked statically (glibc, libstdc++, libgcc), so it needs nothing of the system beyond the
# kernel, whatever C and C++ runtime the system has. A dynamic link against Debian 12's glibc
# would need GLIBC_2.34 symbol versions and GCC 12's libstdc++ (GLIBCXX_3.4.29), which older
# systems lack. What this links in and the licence duties that follow are in docs/building.md.
#
# A statically linked glibc cannot load the shared modules behind name services (getaddrinfo,
# getpwnam, iconv, dlopen): the linker warns when a program calls them, and these warnings fail
# the link, so the service never depends on them unnoticed. The sanitizers' runtimes need a
# dynamic link: the sanitizer and fuzzing presets leave the option off.
option(KCS_STATIC_SERVICE "Link the Linux service statically (glibc, libstdc++, libgcc)" OFF)

# kcs_static_service(TARGET): links the executable TARGET statically, as a position-independent
# program (so the kernel still places it at a random address), when KCS_STATIC_SERVICE is on.
function(kcs_static_service target)
  if(NOT KCS_STATIC_SERVICE)
    return()
  endif()
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    message(FATAL_ERROR "KCS_STATIC_SERVICE is for Linux builds (Windows programs are static already)")
  endif()
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    message(FATAL_ERROR "KCS_STATIC_SERVICE cannot link the sanitizers' runtimes: turn it off")
  endif()
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_link_options(${target} PRIVATE -static-pie -Wl,--fatal-warnings)
endfunction()

# kcs_debian_source(LIBRARY OUT): "NAME VERSION" of the Debian source package whose binary
# package holds the LIBRARY (e.g. libc.a) the compiler links; empty when dpkg does not know it.
function(kcs_debian_source library out)
  set(${out} "" PARENT_SCOPE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT IS_ABSOLUTE "${path}")
    return()
  endif()
  file(REAL_PATH "${path}" path)
  execute_process(COMMAND dpkg-query -S "${path}" OUTPUT_VARIABLE owner ERROR_QUIET)
  string(REGEX MATCH "^[^:,]+" owner "${owner}")
  if(owner)
    execute_process(COMMAND dpkg-query -W "-f=\${source:Package} \${source:Version}" "${owner}"
                    OUTPUT_VARIABLE source ERROR_QUIET)
    set(${out} "${source}" PARENT_SCOPE)
  endif()
endfunction()

# kcs_static_service_notices(COMPONENT): with KCS_STATIC_SERVICE, installs into the licence's
# folder what the static link obliges a package to carry: NOTICE (what is linked in, under which
# licences, where the source is), LGPL-2.1 (the GNU C Library's licence) and glibc-copyright
# (the C library's copyright file, with the terms of its other parts), the last two from the
# Debian system that builds. Elsewhere a warning says they are missing (the packages stage
# fails a package without them).
function(kcs_static_service_notices component)
  if(NOT KCS_STATIC_SERVICE)
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dM -E -x c++ -include features.h /dev/null
                  OUTPUT_VARIABLE macros ERROR_QUIET)
  string(REGEX MATCH "#define __GLIBC__ ([0-9]+)" ignored "${macros}")
  set(major ${CMAKE_MATCH_1})
  string(REGEX MATCH "#define __GLIBC_MINOR__ ([0-9]+)" ignored "${macros}")
  if(NOT major)
    message(FATAL_ERROR "KCS_STATIC_SERVICE: the compiler does not use the GNU C Library")
  endif()
  set(KCS_GLIBC_VERSION "${major}.${CMAKE_MATCH_1}")
  set(KCS_GCC_VERSION ${CMAKE_CXX_COMPILER_VERSION})
  kcs_debian_source(libc.a glibc_source)
  kcs_debian_source(libstdc++.a gcc_source)
  set(licence /usr/share/common-licenses/LGPL-2.1)
  set(copyright /usr/share/doc/libc6/copyright)
  if(NOT glibc_source OR NOT gcc_source OR NOT EXISTS ${licence} OR NOT EXISTS ${copyright})
    message(WARNING "KCS_STATIC_SERVICE: not built on Debian, so the licence notices of the "
                    "statically linked libraries are not installed; do not ship this build")
    return()
  endif()
  set(KCS_GLIBC_SOURCE ${glibc_source})
  set(KCS_GCC_SOURCE ${gcc_source})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/static-service-notice.txt.in
                 ${PROJECT_BINARY_DIR}/static-service/NOTICE @ONLY)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/korvessa-client-services)
  install(FILES ${PROJECT_BINARY_DIR}/static-service/NOTICE DESTINATION ${doc} COMPONENT ${component})
  install(FILES ${licence} DESTINATION ${doc} COMPONENT ${component})
  install(FILES ${copyright} DESTINATION ${doc} RENAME glibc-copyright COMPONENT ${component})
endfunction()
