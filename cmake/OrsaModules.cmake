set(ORSA_MODULES "")

# orsa_module(NAME DIR RECURSE|NOTRECURSE DEPS ...)
function(orsa_module name dir mode)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  if(mode STREQUAL "RECURSE")
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  endif()
  set(lib orsa_${name})
  if(srcs)
    add_library(${lib}_obj OBJECT ${srcs})
    # Only what include/orsa marks with ORSA_EXPORT leaves the shared library.
    set_target_properties(${lib}_obj PROPERTIES
      CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(${lib}_obj PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>)
    target_compile_definitions(${lib}_obj PUBLIC ${ORSA_PRIVATE_DEFINITIONS})
    # Dependencies that are other modules only lend their usage requirements here.
    foreach(d ${M_DEPS})
      if(d MATCHES "^orsa_")
        if(TARGET ${d}_obj)
          target_link_libraries(${lib}_obj PUBLIC ${d}_obj)
        endif()
      else()
        target_link_libraries(${lib}_obj PUBLIC ${d})
      endif()
    endforeach()
    add_library(${lib} STATIC $<TARGET_OBJECTS:${lib}_obj>)
    target_link_libraries(${lib} PUBLIC ${lib}_obj)
    foreach(d ${M_DEPS})
      if(NOT d MATCHES "^orsa_" OR TARGET ${d})
        target_link_libraries(${lib} PUBLIC ${d})
      endif()
    endforeach()
    set(ORSA_MODULES ${ORSA_MODULES} ${name} PARENT_SCOPE)
  endif()
  set(ORSA_MODULE_DEPS_${name} ${M_DEPS} PARENT_SCOPE)
endfunction()

# The library for hosts, made of every module's objects: shared (with a versioned SONAME and
# only the public API exported) unless ORSA_SHARED is off. The tool, the tests and the
# benchmarks link the same objects as a static archive, orsa_mirelo_internal, which also lends
# them the private headers under src/.
macro(orsa_finish_library)
  set(_objs "")
  set(_deps "")
  foreach(m ${ORSA_MODULES})
    list(APPEND _objs $<TARGET_OBJECTS:orsa_${m}_obj>)
    foreach(d ${ORSA_MODULE_DEPS_${m}})
      if(NOT d MATCHES "^orsa_")
        list(APPEND _deps ${d})
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES _deps)

  if(ORSA_SHARED)
    add_library(orsa_mirelo SHARED ${_objs})
    target_link_libraries(orsa_mirelo PRIVATE ${_deps})
    set_target_properties(orsa_mirelo PROPERTIES
      VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
    target_link_options(orsa_mirelo PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/orsa-mirelo.map)
    set_property(TARGET orsa_mirelo APPEND PROPERTY LINK_DEPENDS
      ${PROJECT_SOURCE_DIR}/cmake/orsa-mirelo.map)
    if(NOT ORSA_SANITIZE AND NOT ORSA_FUZZ)
      # Every symbol resolved at link time, so a host never meets a missing one at load time.
      target_link_options(orsa_mirelo PRIVATE -Wl,--no-undefined)
    endif()
  else()
    add_library(orsa_mirelo STATIC ${_objs})
    target_link_libraries(orsa_mirelo PUBLIC ${_deps})
  endif()
  set_target_properties(orsa_mirelo PROPERTIES OUTPUT_NAME orsa-mirelo EXPORT_NAME mirelo)
  target_include_directories(orsa_mirelo PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # The public headers are C++20.
  target_compile_features(orsa_mirelo INTERFACE cxx_std_20)
  add_library(orsa::mirelo ALIAS orsa_mirelo)

  add_library(orsa_mirelo_static STATIC ${_objs})
  set_target_properties(orsa_mirelo_static PROPERTIES OUTPUT_NAME orsa-mirelo-internal)
  target_link_libraries(orsa_mirelo_static PUBLIC ${_deps})
  add_library(orsa_mirelo_internal INTERFACE)
  target_link_libraries(orsa_mirelo_internal INTERFACE orsa_mirelo_static)
  target_include_directories(orsa_mirelo_internal INTERFACE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(orsa_mirelo_internal INTERFACE ${ORSA_PRIVATE_DEFINITIONS})
  set(ORSA_LINK_DEPS ${_deps})
endmacro()
