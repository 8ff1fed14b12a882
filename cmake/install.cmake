# What `cmake --install` lays out, in the GNU layout under the prefix:
#
#   <libdir>/kestrel/                 the host directory of the installed kestrel-host:
#     kestrel-host                    the host program itself
#     libKestrelDriver.so             the driver library
#     Heron.so Plover.so Sparrow.so   the validator plug-ins
#     ContactID.xml                   Heron's event table
#     examples/                       the example configurations and sample data
#   <bindir>/kestrel-host             relative symbolic link to <libdir>/kestrel/kestrel-host
#   <datadir>/kestrel/examples        relative symbolic link to <libdir>/kestrel/examples
#   <datadir>/kestrel/kestrel-configuration.xsd   the schema of the configuration file
#   <includedir>/kestrel/             host interface headers and the plug-in contract
#   <libdir>/cmake/Kestrel/           find_package(Kestrel): Kestrel::driver, Kestrel::plugin
#   <libdir>/pkgconfig/               kestrel.pc, kestrel-plugin.pc
#   <mandir>/man1/kestrel-host.1.gz
#
# The host directory is the directory of the running executable as
# /proc/self/exe names it, and the kernel resolves symbolic links there. So the
# kestrel-host found on the PATH runs with the private folder as its host
# directory and finds the driver, the plug-ins, ContactID.xml and the examples
# exactly as build/bin/ serves the build tree. The examples must lie inside that
# folder as real files: configuration files are read only when their real path
# is inside the host directory, so the datadir entry links to them, not the
# other way round. Every path is relative, so the tree can be moved as a whole.

set(KESTREL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrel)
set(KESTREL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
foreach(dir KESTREL_INSTALL_HOSTDIR CMAKE_INSTALL_BINDIR CMAKE_INSTALL_DATADIR CMAKE_INSTALL_LIBDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} must be relative to the prefix, not ${${dir}}")
  endif()
endforeach()

# A relative path from folder `from` to `to`, both relative to the prefix.
function(kestrel_relative_path out from to)
  file(RELATIVE_PATH path /prefix/${from} /prefix/${to})
  string(REGEX REPLACE "/$" "" path "${path}")
  if(path STREQUAL "")
    set(path .)
  endif()
  set(${out} ${path} PARENT_SCOPE)
endfunction()

install(TARGETS kestrel-host RUNTIME DESTINATION ${KESTREL_INSTALL_HOSTDIR})
install(DIRECTORY examples/ DESTINATION ${KESTREL_INSTALL_HOSTDIR}/examples)

# The symbolic links are made in the build tree and installed as links.
set(links ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${links}/bin ${links}/share)
kestrel_relative_path(host_from_bin ${CMAKE_INSTALL_BINDIR} ${KESTREL_INSTALL_HOSTDIR}/kestrel-host)
file(CREATE_LINK ${host_from_bin} ${links}/bin/kestrel-host SYMBOLIC)
install(FILES ${links}/bin/kestrel-host DESTINATION ${CMAKE_INSTALL_BINDIR})
kestrel_relative_path(examples_from_data ${CMAKE_INSTALL_DATADIR}/kestrel ${KESTREL_INSTALL_HOSTDIR}/examples)
file(CREATE_LINK ${examples_from_data} ${links}/share/examples SYMBOLIC)
install(FILES ${links}/share/examples DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel)
install(FILES schema/kestrel-configuration.xsd DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel)
# check looks for the schema beside kestrel-host (the build tree), then here.
kestrel_relative_path(schema_from_host ${KESTREL_INSTALL_HOSTDIR} ${CMAKE_INSTALL_DATADIR}/kestrel)
target_compile_definitions(kestrel-host PRIVATE KESTREL_SCHEMA_DIR_FROM_HOST="${schema_from_host}")

# Man page, compressed as Debian keeps them.
set(man_page ${CMAKE_BINARY_DIR}/man/kestrel-host.1.gz)
add_custom_command(OUTPUT ${man_page}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/host/kestrel-host.1 ${CMAKE_BINARY_DIR}/man/kestrel-host.1
  COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/kestrel-host.1
  DEPENDS ${CMAKE_SOURCE_DIR}/host/kestrel-host.1
  VERBATIM)
add_custom_target(kestrel_man_page ALL DEPENDS ${man_page})
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Headers: the host interface and, beside it, the plug-in contract.
install(DIRECTORY include/kestrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES plugins/common/validator_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrel)

# --- find_package(Kestrel) ---
# Kestrel::driver: the driver library with the host interface headers, for
# hosts that link it (or take its headers and dlopen the file named by
# Kestrel_DRIVER_LIBRARY). Kestrel::plugin: only the plug-in contract header.
set_target_properties(KestrelDriver PROPERTIES EXPORT_NAME driver)
target_include_directories(KestrelDriver INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(KestrelDriver INTERFACE cxx_std_17)
add_library(kestrel_plugin_contract INTERFACE)
set_target_properties(kestrel_plugin_contract PROPERTIES EXPORT_NAME plugin)
target_include_directories(kestrel_plugin_contract INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(kestrel_plugin_contract INTERFACE cxx_std_17)
install(TARGETS KestrelDriver EXPORT KestrelTargets LIBRARY DESTINATION ${KESTREL_INSTALL_HOSTDIR})
install(TARGETS kestrel_plugin_contract EXPORT KestrelTargets)
install(EXPORT KestrelTargets NAMESPACE Kestrel:: DESTINATION ${KESTREL_INSTALL_CMAKEDIR})

include(CMakePackageConfigHelpers)
configure_package_config_file(cmake/KestrelConfig.cmake.in ${CMAKE_BINARY_DIR}/cmake/KestrelConfig.cmake
  INSTALL_DESTINATION ${KESTREL_INSTALL_CMAKEDIR}
  PATH_VARS KESTREL_INSTALL_HOSTDIR CMAKE_INSTALL_INCLUDEDIR)
# 0.x releases may change the C++ interfaces between minor versions.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/KestrelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/KestrelConfig.cmake ${CMAKE_BINARY_DIR}/cmake/KestrelConfigVersion.cmake
  DESTINATION ${KESTREL_INSTALL_CMAKEDIR})

# --- pkg-config ---
# Paths are relative to the .pc file's own folder, so DESTDIR and moved trees resolve.
kestrel_relative_path(KESTREL_PC_PREFIX ${KESTREL_INSTALL_PKGCONFIGDIR} .)
foreach(pc kestrel kestrel-plugin)
  configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${KESTREL_INSTALL_PKGCONFIGDIR})
endforeach()
