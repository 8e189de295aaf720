include(CMakePackageConfigHelpers)

install(TARGETS orsa_mirelo EXPORT OrsaMireloTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/orsa DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES src/render/shaders/OrsaDigitalHumanShader.glsl
  DESTINATION ${CMAKE_INSTALL_DATADIR}/orsa-mirelo)
install(EXPORT OrsaMireloTargets NAMESPACE orsa:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrsaMirelo)

# A shared library brings its dependencies along; a static one needs them found again.
if(ORSA_SHARED)
  set(ORSA_CONFIG_DEPENDENCIES "")
else()
  set(ORSA_CONFIG_DEPENDENCIES "include(\"\${CMAKE_CURRENT_LIST_DIR}/OrsaDependencies.cmake\")")
  install(FILES cmake/OrsaDependencies.cmake DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrsaMirelo)
endif()
configure_package_config_file(cmake/OrsaMireloConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrsaMirelo)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/OrsaMireloConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrsaMirelo)

# pkg-config: relative to the .pc file's own folder, so the prefix can move. A shared library
# needs nothing of its dependencies at the host's compile or link time; a static one lists
# them for --static.
set(ORSA_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH ORSA_PC_TO_PREFIX "${CMAKE_INSTALL_PREFIX}/${ORSA_PC_DIR}" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" ORSA_PC_TO_PREFIX "${ORSA_PC_TO_PREFIX}")
if(ORSA_SHARED)
  set(ORSA_PC_REQUIRES_PRIVATE "")
  set(ORSA_PC_LIBS_PRIVATE "")
else()
  set(ORSA_PC_REQUIRES_PRIVATE "Requires.private: libturbojpeg minizip zlib libpng libcrypto libssl sqlite3 libcurl libavformat libavcodec libavutil libswscale uchardet libplist-2.0 egl glesv2 spdlog fmt")
  set(ORSA_PC_LIBS_PRIVATE "Libs.private: -lpthread -ldl")
endif()
configure_file(cmake/orsa-mirelo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/orsa-mirelo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orsa-mirelo.pc DESTINATION ${ORSA_PC_DIR})
