# Read by cpack once per generator: the archives hold every component in one file under one
# top-level folder, while the Debian generator makes one package per component.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
