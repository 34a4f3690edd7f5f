# Read by cpack for each generator.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/localcashserver")
    # The program's tree and the service (unit and polkit rule) in one package.
    set(CPACK_COMPONENTS_ALL Unspecified service)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
else()
    # The archive holds the program directory itself, to be unpacked anywhere.
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
