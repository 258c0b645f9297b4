# SPDX-License-Identifier: MIT
# Installing the delivered objects for programs and C library builds:
#
#   <libdir>/libsse2str.a                  every delivered object
#   <libdir>/sse2str/<name>.o              each object on its own, and the
#                                          counting hook call_counts.o
#   <includedir>/sse2str.h                 the declarations
#   <libdir>/cmake/sse2str/                find_package(sse2str)
#   <libdir>/pkgconfig/sse2str.pc          pkg-config sse2str
#   <libdir>/pkgconfig/sse2str-<name>.pc   pkg-config sse2str-<name>: one object
#   <libdir>/pkgconfig/sse2str-interpose.pc  pkg-config sse2str-interpose
#   <datadir>/sse2str/sse2str.supp         valgrind memcheck suppressions
#   <docdir>/                              LICENSE, README.md, CHANGELOG.md
#                                          and the users' guide USING.md
#
# Both package descriptions are relocatable: they find the prefix from their
# own location, so an installed tree may be moved or unpacked anywhere.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The delivered support objects `object` needs beside itself: those that
# define the symbols it leaves undefined (x86_cache_size for the fills).
function(sse2str_needed_objects object out)
  set(needed "")
  get_property(undefined GLOBAL PROPERTY SSE2STR_UNDEFINED_${object})
  foreach(symbol ${undefined})
    get_property(provider GLOBAL PROPERTY SSE2STR_PROVIDER_OF_${symbol})
    list(APPEND needed ${provider})
  endforeach()
  set(${out} ${needed} PARENT_SCOPE)
endfunction()

# Writes to `out` the public header as users get it: include/sse2str.h with
# the project's version defined where its comment announces it.
function(sse2str_versioned_header out)
  set(source ${PROJECT_SOURCE_DIR}/include/sse2str.h)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} header)
  set(announcement "SSE2STR_VERSION_PATCH here, from the project's version. */\n")
  string(FIND "${header}" "${announcement}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "sse2str: ${source} no longer says where the version goes")
  endif()
  string(REPLACE "${announcement}" "${announcement}\
#define SSE2STR_VERSION_MAJOR ${PROJECT_VERSION_MAJOR}
#define SSE2STR_VERSION_MINOR ${PROJECT_VERSION_MINOR}
#define SSE2STR_VERSION_PATCH ${PROJECT_VERSION_PATCH}
" header "${header}")
  file(CONFIGURE OUTPUT ${out} CONTENT "${header}" @ONLY)
endfunction()

function(sse2str_install)
  get_property(delivered GLOBAL PROPERTY SSE2STR_DELIVERED)
  get_property(modules GLOBAL PROPERTY SSE2STR_MODULES)
  get_property(hooks GLOBAL PROPERTY SSE2STR_HOOK_OBJECTS)
  get_property(aliases GLOBAL PROPERTY SSE2STR_ALIASES)
  get_property(support GLOBAL PROPERTY SSE2STR_SUPPORT_OBJECTS)
  set(objects "")
  foreach(path ${delivered})
    get_filename_component(object ${path} NAME_WE)
    list(APPEND objects ${object})
  endforeach()

  set(SSE2STR_OBJDIR ${CMAKE_INSTALL_LIBDIR}/sse2str)
  set(SSE2STR_CONFIGDIR ${CMAKE_INSTALL_LIBDIR}/cmake/sse2str)
  set(SSE2STR_SUPPRESSIONS ${CMAKE_INSTALL_DATADIR}/sse2str/sse2str.supp)
  install(FILES ${delivered} ${hooks} DESTINATION ${SSE2STR_OBJDIR})
  install(FILES ${SSE2STR_MODULE_DIR}/libsse2str.a DESTINATION ${CMAKE_INSTALL_LIBDIR})
  sse2str_versioned_header(${CMAKE_BINARY_DIR}/package/sse2str.h)
  install(FILES ${CMAKE_BINARY_DIR}/package/sse2str.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/support/sse2str.supp
          DESTINATION ${CMAKE_INSTALL_DATADIR}/sse2str)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/docs/USING.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # A module's target brings the support objects it needs.
  set(SSE2STR_OBJECT_NEEDS "")
  foreach(module ${modules})
    sse2str_needed_objects(${module} needed)
    foreach(provider ${needed})
      string(APPEND SSE2STR_OBJECT_NEEDS
        "  set_property(TARGET sse2str::${module} APPEND PROPERTY INTERFACE_LINK_LIBRARIES\n"
        "               \"$<TARGET_OBJECTS:sse2str::${provider}>\")\n")
    endforeach()
  endforeach()

  # Values the templates spell out.
  set(SSE2STR_INSTALLED_MODULES ${modules})
  set(SSE2STR_INSTALLED_OBJECTS ${objects})
  string(REPLACE ";" " " SSE2STR_MODULE_WORDS "${modules}")
  set(SSE2STR_PROFILED ${SSE2STR_PROFILE})
  set(SSE2STR_INSTALLED_HOOKS "")
  foreach(path ${hooks})
    get_filename_component(hook ${path} NAME_WE)
    list(APPEND SSE2STR_INSTALLED_HOOKS ${hook})
  endforeach()

  # Interposition: every module and the support objects they need, and one
  # linker alias per standard name.
  set(SSE2STR_INTERPOSE_OBJECTS ${modules} ${support})
  set(SSE2STR_INTERPOSE_ALIASES ${aliases})
  set(SSE2STR_INTERPOSE_LIBS "")
  foreach(object ${SSE2STR_INTERPOSE_OBJECTS})
    string(APPEND SSE2STR_INTERPOSE_LIBS " \${objdir}/${object}.o")
  endforeach()
  foreach(alias ${aliases})
    string(APPEND SSE2STR_INTERPOSE_LIBS " -Wl,--defsym=${alias}")
  endforeach()

  set(package ${CMAKE_BINARY_DIR}/package)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/sse2str-config.cmake.in
    ${package}/sse2str-config.cmake
    INSTALL_DESTINATION ${SSE2STR_CONFIGDIR}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR SSE2STR_OBJDIR
              SSE2STR_SUPPRESSIONS)
  write_basic_package_version_file(${package}/sse2str-config-version.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${package}/sse2str-config.cmake ${package}/sse2str-config-version.cmake
          DESTINATION ${SSE2STR_CONFIGDIR})

  # pkg-config: the prefix relative to the directory of the .pc file.
  file(RELATIVE_PATH SSE2STR_PC_TO_PREFIX
       /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" SSE2STR_PC_TO_PREFIX "${SSE2STR_PC_TO_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/sse2str.pc.in ${package}/sse2str.pc @ONLY)
  set(pc_files ${package}/sse2str.pc)
  # One package per object, requiring the packages of what it needs.
  foreach(SSE2STR_OBJECT ${objects})
    sse2str_needed_objects(${SSE2STR_OBJECT} needed)
    list(TRANSFORM needed PREPEND sse2str-)
    string(REPLACE ";" " " SSE2STR_OBJECT_REQUIRES "${needed}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/sse2str-object.pc.in
                   ${package}/sse2str-${SSE2STR_OBJECT}.pc @ONLY)
    list(APPEND pc_files ${package}/sse2str-${SSE2STR_OBJECT}.pc)
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/sse2str-interpose.pc.in
                 ${package}/sse2str-interpose.pc @ONLY)
  list(APPEND pc_files ${package}/sse2str-interpose.pc)
  install(FILES ${pc_files} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
