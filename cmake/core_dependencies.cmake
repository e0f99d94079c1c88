# The libraries the C++ core needs, as one interface target: the extension module and the
# fuzz targets (which build the core without the interpreter) both link it.
if(POLICY CMP0167)
  cmake_policy(SET CMP0167 NEW)  # Boost's own package configuration, not the retired FindBoost
endif()

find_package(Eigen3 REQUIRED NO_MODULE)
find_package(Boost REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(ZLIB REQUIRED)
# Exact geometric predicates and the constrained triangulation of solids.
find_package(CGAL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(POLYCLIPPING REQUIRED IMPORTED_TARGET polyclipping)
find_library(QHULL_R_LIBRARY qhull_r REQUIRED)

add_library(whistle_core_dependencies INTERFACE)
target_link_libraries(whistle_core_dependencies INTERFACE
  Eigen3::Eigen Boost::boost nlohmann_json::nlohmann_json ZLIB::ZLIB
  PkgConfig::POLYCLIPPING "${QHULL_R_LIBRARY}" CGAL::CGAL)
