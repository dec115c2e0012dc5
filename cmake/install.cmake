# What `cmake --install` puts under the prefix: the shared library with the
# yyjson runtime it needs beside it, the header, a CMake package
# (find_package(kerquill) -> kerquill::kerquill) and a pkg-config file.
# The command-line tool installs itself from tools/: bin/kerquill, its man
# page, bash completion and systemd user units for a nightly export-all.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS kerquill EXPORT kerquillTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/include/kerquill.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# libkerquill needs libyyjson.so.0 at run time and finds it through its
# $ORIGIN run path; ship the real file under the name it is loaded by.
# On Windows yyjson is linked into the DLL.
if(NOT WIN32)
  get_filename_component(_kq_yyjson_real "${KQ_YYJSON_LIBDIR}/libyyjson.so.0" REALPATH)
  install(FILES "${_kq_yyjson_real}" DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME libyyjson.so.0)
endif()

set(KQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kerquill)
install(EXPORT kerquillTargets NAMESPACE kerquill:: DESTINATION ${KQ_CMAKE_DIR})
configure_package_config_file(cmake/kerquillConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kerquillConfig.cmake INSTALL_DESTINATION ${KQ_CMAKE_DIR})
# The C API only grows within one major version: 0.2 added functions to
# 0.1 and removed none, and every 0.x shares the soname libkerquill.so.0. So
# a request for 0.1 is met by 0.2.x (a host built for 0.1 runs against it),
# a request for 0.3 is not, and 1.0 would be a new major version.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kerquillConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kerquillConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kerquillConfigVersion.cmake DESTINATION ${KQ_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so --prefix at install
# time works too.
file(RELATIVE_PATH KQ_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" KQ_PC_TO_PREFIX "${KQ_PC_TO_PREFIX}")
configure_file(cmake/kerquill.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kerquill.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kerquill.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
