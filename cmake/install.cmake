# cmake --install BUILD --prefix DIR: the shared libraries, their public headers under
# include/quern/, the packaged Silero model, a CMake package (find_package(quern CONFIG) giving
# quern::dualis, quern::nightjar, quern::vad, quern::stream, and quern::pocketsphinx where built), quern.pc and
# quern-pocketsphinx.pc. Everything is found relative to DIR,
# so the prefix can be moved after installing. The stand-ins and quern are not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(quern_installed quern_host quern_engines nightjar dualis)
if(QUERN_WITH_TORCH)
  list(APPEND quern_installed vad quern_stream)
endif()
if(TARGET quern_pocketsphinx)
  list(APPEND quern_installed quern_pocketsphinx)
endif()
# The libraries find each other beside themselves, wherever the prefix is.
set_target_properties(${quern_installed} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS ${quern_installed} EXPORT quernTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quern
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quern)
if(TARGET vad_torch)
  # The TorchScript plugin, beside libvad, which loads it on first need (no link to it).
  install(TARGETS vad_torch LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(EXPORT quernTargets NAMESPACE quern:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quern)

configure_package_config_file(cmake/quernConfig.cmake.in
  "${PROJECT_BINARY_DIR}/quernConfig.cmake"
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quern)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/quernConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/quernConfig.cmake"
  "${PROJECT_BINARY_DIR}/quernConfigVersion.cmake"
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quern)

set(quern_pc_installed ${quern_installed})
list(REMOVE_ITEM quern_pc_installed quern_pocketsphinx)  # it has a .pc file of its own
list(TRANSFORM quern_pc_installed REPLACE "^(.+)$" "-l\\1" OUTPUT_VARIABLE quern_pc_libs)
list(REVERSE quern_pc_libs)
list(JOIN quern_pc_libs " " quern_pc_libs)
file(RELATIVE_PATH quern_pc_prefix "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
configure_file(cmake/quern.pc.in "${PROJECT_BINARY_DIR}/quern.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/quern.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET quern_pocketsphinx)
  configure_file(cmake/quern-pocketsphinx.pc.in "${PROJECT_BINARY_DIR}/quern-pocketsphinx.pc" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/quern-pocketsphinx.pc"
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

if(QUERN_WITH_TORCH)
  install(FILES "${QUERN_DATA_DIR}/silero_vad.jit" "${QUERN_DATA_DIR}/silero_vad.qvw"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/quern)
endif()
