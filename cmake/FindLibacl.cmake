# FindLibacl: libacl, for ACLs (the tests set them). Defines Libacl_FOUND and Libacl::Libacl.
include(${CMAKE_CURRENT_LIST_DIR}/PkgConfigPackage.cmake)
norv_find_through_pkg_config(Libacl libacl)
