# Installation rules (included when TRIMLET_INSTALL is ON).
install(TARGETS trimlet EXPORT trimletTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/trimlet.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

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
# A static library's users define TRIMLET_STATIC and link what it uses.
set(TRIMLET_PC_CFLAGS "")
set(TRIMLET_PC_LIBS_PRIVATE "")
if(TRIMLET_STATIC)
  set(TRIMLET_PC_CFLAGS " -DTRIMLET_STATIC")
  set(TRIMLET_PC_LIBS_PRIVATE "Libs.private:")
  if(TRIMLET_USE_LIBDEFLATE)
    string(APPEND TRIMLET_PC_LIBS_PRIVATE " -ldeflate")
  endif()
  if(TRIMLET_USE_LIBJPEG_TURBO)
    string(APPEND TRIMLET_PC_LIBS_PRIVATE " -lturbojpeg -ljpeg")
  endif()
  if(TRIMLET_USE_LIBWEBP)
    string(APPEND TRIMLET_PC_LIBS_PRIVATE " -lwebpmux -lwebpdemux -lwebp")
  endif()
  if(TRIMLET_USE_GIFLIB)
    string(APPEND TRIMLET_PC_LIBS_PRIVATE " -lgif")
  endif()
  if(TRIMLET_USE_LIBTIFF)
    string(APPEND TRIMLET_PC_LIBS_PRIVATE " -ltiff")
  endif()
  if(TRIMLET_USE_LIBHEIF)
    string(APPEND TRIMLET_PC_LIBS_PRIVATE " -lheif")
  endif()
  string(APPEND TRIMLET_PC_LIBS_PRIVATE " -lm")
endif()
configure_file(cmake/trimlet.pc.in ${PROJECT_BINARY_DIR}/trimlet.pc.in @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/trimlet.pc.in\"
                            \"${PROJECT_BINARY_DIR}/trimlet.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/trimlet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

