include(CMakePackageConfigHelpers)

install(TARGETS orsa_mirelo EXPORT OrsaMireloTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/orsa DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY src/render/shaders/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orsa-mirelo OPTIONAL)
install(EXPORT OrsaMireloTargets NAMESPACE orsa:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrsaMirelo)

configure_package_config_file(cmake/OrsaMireloConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrsaMirelo)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfigVersion.cmake
  cmake/OrsaDependencies.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrsaMirelo)

set(ORSA_PC_REQUIRES "libturbojpeg minizip zlib libpng libcrypto libssl sqlite3 libcurl libavformat libavcodec libavutil libswscale uchardet libplist-2.0 egl glesv2 spdlog fmt")
configure_file(cmake/orsa-mirelo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/orsa-mirelo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orsa-mirelo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
