# Installing the library for other CMake projects: each layer's library with
# its headers under include/kbvOpenAI/<layer>/, the CMake package kbvOpenAI
# (kbvOpenAI::<layer> per layer, kbvOpenAI::kbvOpenAI for all of them) and the
# pkg-config file kbvOpenAI.pc. The programs install themselves (app/, cli/).
#
# Components: "Runtime" holds the shared libraries (BUILD_SHARED_LIBS=ON),
# "Development" everything a consumer builds with.
include(CMakePackageConfigHelpers)

set(KBV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kbvOpenAI)
set(KBV_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kbvOpenAI)
set(KBV_LAYERS core json net http httpapi openai)
# With shared libraries the installed programs find them in <prefix>/lib, in
# any prefix.
if(BUILD_SHARED_LIBS)
  set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

# The third-party targets the layers link, and how a consumer finds each: the
# line for the package config and the pkg-config module. Static libraries
# pass all of them on, shared ones only those of their public interface. A
# layer linking a target missing here stops the configuration.
set(kbv_find_Threads::Threads "find_dependency(Threads)")
set(kbv_pc_Threads::Threads "")
set(kbv_find_OpenSSL::SSL "find_dependency(OpenSSL 3)")
set(kbv_pc_OpenSSL::SSL "libssl")
set(kbv_find_OpenSSL::Crypto "find_dependency(OpenSSL 3)")
set(kbv_pc_OpenSSL::Crypto "libcrypto")
set(kbv_find_ZLIB::ZLIB "find_dependency(ZLIB)")
set(kbv_pc_ZLIB::ZLIB "zlib")
set(kbv_find_ALSA::ALSA "find_dependency(ALSA)")
set(kbv_pc_ALSA::ALSA "alsa")
set(kbv_find_PkgConfig::PSL "kbv_find_pkg_module(PSL libpsl)")
set(kbv_pc_PkgConfig::PSL "libpsl")
set(kbv_find_PkgConfig::GNUTLS "kbv_find_pkg_module(GNUTLS gnutls)")
set(kbv_pc_PkgConfig::GNUTLS "gnutls")

# The linker version script of the shared libraries: they export the
# project's own names and nothing else. All project code is in the global
# namespace, so a mangled name whose first component is a global name
# (a length, then a letter) is the project's: its functions, classes, members,
# vtables, type infos, thunks, guard and function-local static variables.
# Instantiations of the standard library's templates (std::, __gnu_cxx::)
# stay inside each library; the library's internals already have internal
# linkage (anonymous namespaces). Global variables are exported by name.
function(kbv_write_export_map file)
  set(patterns "[A-Za-z]*" "_Z[a-z][a-z]*" "_ZTh*" "_ZTv*")
  foreach(prefix _Z _ZN _ZNK _ZNR _ZNO _ZNKR _ZNKO _ZTV _ZTI _ZTS _ZTVN _ZTIN _ZTSN _ZTH _ZTW _ZTHN _ZTWN
                 _ZGV _ZGVN _ZGVZ _ZGVZN _ZGVZNK _ZZ _ZZN _ZZNK)
    list(APPEND patterns "${prefix}[1-9][A-Za-z]*" "${prefix}[1-9][0-9][A-Za-z]*"
                         "${prefix}[1-9][0-9][0-9][A-Za-z]*")
  endforeach()
  list(JOIN patterns ";\n    " patterns)
  file(CONFIGURE OUTPUT ${file} CONTENT "{\n  global:\n    ${patterns};\n  local:\n    *;\n};\n")
endfunction()

# kbv_package_layer(<layer>): kbv_<layer> becomes kbvOpenAI::<layer>, with the
# layer's headers; a shared library gets the SONAME libkbv_<layer>.so.<major>
# and exports only the project's own names (kbv_write_export_map).
function(kbv_package_layer layer)
  set(target kbv_${layer})
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/${layer}/*.h)
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/kbvInternalHeaders.txt internal REGEX "^[^#]")
  list(REMOVE_ITEM headers ${internal})
  list(TRANSFORM headers PREPEND ${PROJECT_SOURCE_DIR}/)
  target_sources(${target} PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR} FILES ${headers})
  # The headers include one another as "core/...", "net/...": a consumer
  # searches include/kbvOpenAI for those and include/ for <kbvOpenAI/...>.
  target_include_directories(${target} INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}> $<INSTALL_INTERFACE:${KBV_INSTALL_INCLUDEDIR}>)
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${layer})
  add_library(kbvOpenAI::${layer} ALIAS ${target})

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(map ${PROJECT_BINARY_DIR}/kbvExports.map)
    kbv_write_export_map(${map})
    # $ORIGIN: a layer finds the layers beneath it beside itself, in any prefix.
    set_target_properties(${target} PROPERTIES
      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR} LINK_DEPENDS ${map}
      INSTALL_RPATH "$ORIGIN")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
    if(NOT KBV_SANITIZE AND NOT KBV_FUZZ)
      target_link_options(${target} PRIVATE "LINKER:--no-undefined")
    endif()
  endif()

  install(TARGETS ${target} EXPORT kbvOpenAITargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
    FILE_SET HEADERS DESTINATION ${KBV_INSTALL_INCLUDEDIR} COMPONENT Development)
endfunction()

# The third-party targets in the link interface of the layers (the private
# ones of static libraries come as $<LINK_ONLY:...>): the lines finding them
# for the package config into <find_var>, their modules for kbvOpenAI.pc into
# <pc_var>.
function(kbv_layer_dependencies find_var pc_var)
  set(finds "")
  set(modules "")
  foreach(layer IN LISTS KBV_LAYERS)
    get_target_property(links kbv_${layer} INTERFACE_LINK_LIBRARIES)
    foreach(link IN LISTS links)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
      if(NOT link MATCHES "::" OR link MATCHES "^kbvOpenAI::")
        continue()
      endif()
      if(NOT DEFINED kbv_find_${link})
        message(FATAL_ERROR "kbv_${layer} links ${link}: say in cmake/kbvInstall.cmake how a consumer finds it")
      endif()
      list(APPEND finds "${kbv_find_${link}}")
      list(APPEND modules ${kbv_pc_${link}})
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES finds)
  list(REMOVE_DUPLICATES modules)
  list(JOIN finds "\n" finds)
  list(JOIN modules " " modules)
  set(${find_var} "${finds}" PARENT_SCOPE)
  set(${pc_var} "${modules}" PARENT_SCOPE)
endfunction()

# Every layer, the umbrella target, the package files.
function(kbv_install_package)
  foreach(layer IN LISTS KBV_LAYERS)
    kbv_package_layer(${layer})
  endforeach()

  # A stripped install (--strip, the Debian package) keeps the static
  # libraries' symbols but drops their debug sections, as Debian does.
  if(NOT BUILD_SHARED_LIBS)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        file(GLOB archives \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libkbv_*.a\")
        foreach(archive IN LISTS archives)
          execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug \"\${archive}\" COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
      endif()" COMPONENT Development)
  endif()

  # kbvOpenAI::kbvOpenAI: every layer (the name kbvOpenAI is the window's).
  add_library(kbv_all INTERFACE)
  set_target_properties(kbv_all PROPERTIES EXPORT_NAME kbvOpenAI)
  list(TRANSFORM KBV_LAYERS PREPEND kbv_ OUTPUT_VARIABLE layer_targets)
  target_link_libraries(kbv_all INTERFACE ${layer_targets})
  add_library(kbvOpenAI::kbvOpenAI ALIAS kbv_all)
  install(TARGETS kbv_all EXPORT kbvOpenAITargets)

  # The version, for code: <kbvOpenAI/kbvOpenAIVersion.h>.
  set(version_header ${PROJECT_BINARY_DIR}/kbvOpenAIVersion.h)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kbvOpenAIVersion.h.in ${version_header} @ONLY)
  install(FILES ${version_header} DESTINATION ${KBV_INSTALL_INCLUDEDIR} COMPONENT Development)

  install(EXPORT kbvOpenAITargets NAMESPACE kbvOpenAI:: DESTINATION ${KBV_INSTALL_CMAKEDIR}
    COMPONENT Development)

  kbv_layer_dependencies(KBV_FIND_DEPENDENCIES KBV_PC_MODULES)
  if(BUILD_SHARED_LIBS)
    set(KBV_LIBRARY_TYPE shared)
    set(KBV_SHARED_LIBS TRUE)
  else()
    set(KBV_LIBRARY_TYPE static)
    set(KBV_SHARED_LIBS FALSE)
  endif()
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kbvOpenAIConfig.cmake.in
    ${PROJECT_BINARY_DIR}/kbvOpenAIConfig.cmake INSTALL_DESTINATION ${KBV_INSTALL_CMAKEDIR})
  # Before 1.0 a minor release may break the interface (semantic versioning).
  if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(compatibility SameMinorVersion)
  else()
    set(compatibility SameMajorVersion)
  endif()
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/kbvOpenAIConfigVersion.cmake
    COMPATIBILITY ${compatibility})
  install(FILES ${PROJECT_BINARY_DIR}/kbvOpenAIConfig.cmake ${PROJECT_BINARY_DIR}/kbvOpenAIConfigVersion.cmake
    DESTINATION ${KBV_INSTALL_CMAKEDIR} COMPONENT Development)

  # pkg-config: all libraries at once. Static libraries need their
  # dependencies on every link, shared ones only for --static.
  if(BUILD_SHARED_LIBS)
    set(KBV_PC_REQUIRES "")
    set(KBV_PC_REQUIRES_PRIVATE "${KBV_PC_MODULES}")
  else()
    set(KBV_PC_REQUIRES "${KBV_PC_MODULES}")
    set(KBV_PC_REQUIRES_PRIVATE "")
  endif()
  # Relocatable: the prefix is found from where the file lies.
  file(RELATIVE_PATH KBV_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" KBV_PC_PREFIX "${KBV_PC_PREFIX}")
  list(REVERSE layer_targets)
  list(TRANSFORM layer_targets PREPEND -l)
  list(JOIN layer_targets " " KBV_PC_LIBS)
  # The layers' link options (the TLS handler's "keep this registration"), as
  # compiler-driver flags.
  foreach(layer IN LISTS KBV_LAYERS)
    get_target_property(options kbv_${layer} INTERFACE_LINK_OPTIONS)
    if(NOT options)
      continue()
    endif()
    foreach(option IN LISTS options)
      string(REGEX REPLACE "^LINKER:" "-Wl," option "${option}")
      string(APPEND KBV_PC_LIBS " ${option}")
    endforeach()
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kbvOpenAI.pc.in ${PROJECT_BINARY_DIR}/kbvOpenAI.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kbvOpenAI.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT Development)
endfunction()
