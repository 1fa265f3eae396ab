# FindLibsystemd: libsystemd, for the service's notifications and the journal. Defines Libsystemd_FOUND and Libsystemd::Libsystemd.
include(${CMAKE_CURRENT_LIST_DIR}/PkgConfigPackage.cmake)
norv_find_through_pkg_config(Libsystemd libsystemd)
