# Installation rules (included when TRIMLET_INSTALL is ON).
install(TARGETS trimlet EXPORT trimletTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/trimlet.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# A static library's users link the libraries it was built with
# (cmake/TrimletDependency.cmake), each dependency's in reverse link order
# (a library before the ones it uses), then libm: trimlet.pc lists them in
# Libs.private, and the CMake package finds them by name on the user's
# machine (trimletConfig.cmake.in).
set(TRIMLET_PC_LIBS_PRIVATE "")
set(TRIMLET_PACKAGE_DEPENDENCIES "")
if(TRIMLET_STATIC)
  set(TRIMLET_PC_LIBS_PRIVATE "Libs.private:")
  get_property(_names GLOBAL PROPERTY TRIMLET_DEPENDENCIES)
  foreach(_name IN LISTS _names)
    trimlet_dependency_get(${_name} LINK_NAMES _links)
    trimlet_dependency_get(${_name} DEBIAN _debian)
    list(REVERSE _links)
    string(JOIN " " _debian ${_debian})
    foreach(_link IN LISTS _links)
      string(APPEND TRIMLET_PC_LIBS_PRIVATE " -l${_link}")
      string(APPEND TRIMLET_PACKAGE_DEPENDENCIES "\n  ${_link} \"${_debian}\"")
    endforeach()
  endforeach()
  string(APPEND TRIMLET_PC_LIBS_PRIVATE " -lm")
endif()

set(TRIMLET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/trimlet)
install(EXPORT trimletTargets NAMESPACE trimlet:: DESTINATION ${TRIMLET_CMAKE_DIR})
include(CMakePackageConfigHelpers)
configure_package_config_file(cmake/trimletConfig.cmake.in
  ${PROJECT_BINARY_DIR}/trimletConfig.cmake
  INSTALL_DESTINATION ${TRIMLET_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/trimletConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/trimletConfig.cmake
              ${PROJECT_BINARY_DIR}/trimletConfigVersion.cmake
        DESTINATION ${TRIMLET_CMAKE_DIR})

# trimlet.pc names the prefix given at install time (`cmake --install
# --prefix DIR` may differ from the configured one), so its final form is
# written during installation.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(TRIMLET_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(TRIMLET_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(TRIMLET_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
# A static library's users define TRIMLET_STATIC.
set(TRIMLET_PC_CFLAGS "")
if(TRIMLET_STATIC)
  set(TRIMLET_PC_CFLAGS " -DTRIMLET_STATIC")
endif()
configure_file(cmake/trimlet.pc.in ${PROJECT_BINARY_DIR}/trimlet.pc.in @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/trimlet.pc.in\"
                            \"${PROJECT_BINARY_DIR}/trimlet.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/trimlet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

