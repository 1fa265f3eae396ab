# FindLibcap: libcap, for the capabilities a file holds. Defines Libcap_FOUND and Libcap::Libcap.
include(${CMAKE_CURRENT_LIST_DIR}/PkgConfigPackage.cmake)
norv_find_through_pkg_config(Libcap libcap)
