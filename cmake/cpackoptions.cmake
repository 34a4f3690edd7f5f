# Read by cpack for each generator.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/localcashserver")
else()
    # The archive holds the program directory itself, to be unpacked anywhere.
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
