# FindLiburing: liburing, for io_uring. Defines Liburing_FOUND and Liburing::Liburing.
include(${CMAKE_CURRENT_LIST_DIR}/PkgConfigPackage.cmake)
norv_find_through_pkg_config(Liburing liburing)
