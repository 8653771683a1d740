# Installs the C library for C and C++ programs: the header, libbrindlore.so
# with its VERSION and SOVERSION, a pkg-config file, a CMake package
# (find_package(brindlore) gives brindlore::brindlore) and the licence of the
# Unicode data compiled into the library.
#
# libbrindlore.so holds the engine and links the engine's dependencies
# privately: the shared libraries among them are its own NEEDED entries, and
# the header includes only standard C headers. So neither the pkg-config file
# nor the CMake package asks a consumer for another package, and no compile
# definition of a dependency reaches a consumer.
include(CMakePackageConfigHelpers)

set(BRINDLORE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/brindlore)

install(TARGETS brindlore EXPORT brindloreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT c_library)
install(FILES include/brindlore.h ${BRINDLORE_GENERATED_INCLUDE_DIR}/brindlore_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT c_library)

install(FILES ${BRINDLORE_UCD_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brindlore/third_party/ucd/16.0.0 COMPONENT c_library)

install(EXPORT brindloreTargets NAMESPACE brindlore::
  DESTINATION ${BRINDLORE_CMAKE_DIR} COMPONENT c_library)
configure_package_config_file(cmake/brindloreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/brindloreConfig.cmake
  INSTALL_DESTINATION ${BRINDLORE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/brindloreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/brindloreConfig.cmake ${PROJECT_BINARY_DIR}/brindloreConfigVersion.cmake
  DESTINATION ${BRINDLORE_CMAKE_DIR} COMPONENT c_library)

# The pkg-config file finds the prefix from its own place, so it stays right
# whatever `cmake --install --prefix` chooses.
file(RELATIVE_PATH BRINDLORE_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" BRINDLORE_PC_TO_PREFIX "${BRINDLORE_PC_TO_PREFIX}")
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(BRINDLORE_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(BRINDLORE_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(cmake/brindlore.pc.in ${PROJECT_BINARY_DIR}/brindlore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brindlore.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT c_library)
