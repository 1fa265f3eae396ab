# norv_find_through_pkg_config(NAME MODULE): the body of a Find module over MODULE's pkg-config
# file. Defines NAME_FOUND, NAME_VERSION and the imported target NAME::NAME.
include(FindPackageHandleStandardArgs)
macro(norv_find_through_pkg_config name module)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(PC_${name} QUIET IMPORTED_TARGET ${module})
    endif()
    find_package_handle_standard_args(${name} REQUIRED_VARS PC_${name}_LINK_LIBRARIES
                                      VERSION_VAR PC_${name}_VERSION)
    if(${name}_FOUND AND NOT TARGET ${name}::${name})
        add_library(${name}::${name} ALIAS PkgConfig::PC_${name})
    endif()
endmacro()
