# FindLibpq: libpq, PostgreSQL's client library, for the fleet's store. Defines Libpq_FOUND and
# Libpq::Libpq.
include(${CMAKE_CURRENT_LIST_DIR}/PkgConfigPackage.cmake)
norv_find_through_pkg_config(Libpq libpq)
