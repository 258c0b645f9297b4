# SPDX-License-Identifier: MIT
# Installing the delivered objects for programs and C library builds, both
# configurations side by side: the routines without the profiling hook
# under the plain names, the ones that call _mcount on entry with `_p`
# before the extension (libsse2str_p.a, memchr_sse2_p.o):
#
#   <libdir>/libsse2str.a                  the routines, hook-free, and
#                                          x86_cache_size.o
#   <libdir>/libsse2str_p.a                the same with the profiling hook
#   <libdir>/sse2str/<module>.o            each routine on its own, hook-free
#   <libdir>/sse2str/<module>_p.o          and with the hook
#   <libdir>/sse2str/x86_cache_size.o      __x86_data_cache_size
#   <libdir>/sse2str/call_counts.o         the counting hook
#   <libdir>/sse2str/dispatch.o, generic.o the choice by processor and the
#                                          plain-C twins it falls back on
#   <libdir>/sse2str/sse2_required.o       the interposition's refusal
#                                          without SSE2
#   <includedir>/sse2str.h                 the declarations
#   <libdir>/cmake/sse2str/                find_package(sse2str)
#   <libdir>/pkgconfig/sse2str[-profiled].pc          the archive
#   <libdir>/pkgconfig/sse2str-<object>[-profiled].pc one object
#   <libdir>/pkgconfig/sse2str-interpose[-profiled].pc  the standard names
#   <libdir>/pkgconfig/sse2str-dispatch[-profiled].pc   bound, or chosen
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

# The suffixes of the profiling configuration: its files, its CMake targets
# and its pkg-config packages.
set(SSE2STR_PROFILED_FILE_SUFFIX _p)
set(SSE2STR_PROFILED_TARGET_SUFFIX _profiled)
set(SSE2STR_PROFILED_PACKAGE_SUFFIX -profiled)

# sse2str_pc_file(<name> <template>): writes <name>.pc from the template to
# the package folder and appends it to `pc_files` in the caller's scope.
macro(sse2str_pc_file name template)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${template} ${package}/${name}.pc @ONLY)
  list(APPEND pc_files ${package}/${name}.pc)
endmacro()

function(sse2str_install)
  get_property(modules GLOBAL PROPERTY SSE2STR_MODULES)
  get_property(hooks GLOBAL PROPERTY SSE2STR_HOOK_OBJECTS)
  get_property(aliases GLOBAL PROPERTY SSE2STR_ALIASES)
  get_property(support GLOBAL PROPERTY SSE2STR_SUPPORT_OBJECTS)
  get_property(packaged GLOBAL PROPERTY SSE2STR_PACKAGED)
  set(package ${CMAKE_BINARY_DIR}/package)
  set(p ${SSE2STR_PROFILED_FILE_SUFFIX})

  set(SSE2STR_OBJDIR ${CMAKE_INSTALL_LIBDIR}/sse2str)
  set(SSE2STR_CONFIGDIR ${CMAKE_INSTALL_LIBDIR}/cmake/sse2str)
  set(SSE2STR_SUPPRESSIONS ${CMAKE_INSTALL_DATADIR}/sse2str/sse2str.supp)
  sse2str_copies("${packaged}" unused unused objects)
  install(FILES ${objects} DESTINATION ${SSE2STR_OBJDIR})
  install(FILES ${package}/libsse2str.a ${package}/libsse2str${p}.a
          DESTINATION ${CMAKE_INSTALL_LIBDIR})
  sse2str_versioned_header(${package}/sse2str.h)
  install(FILES ${package}/sse2str.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/support/sse2str.supp
          DESTINATION ${CMAKE_INSTALL_DATADIR}/sse2str)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/docs/USING.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # Values the templates spell out.
  set(SSE2STR_INSTALLED_MODULES ${modules})
  set(SSE2STR_SUPPORT ${support})
  string(REPLACE ";" " " SSE2STR_MODULE_WORDS "${modules}")
  set(SSE2STR_INSTALLED_HOOKS "")
  foreach(path ${hooks})
    get_filename_component(hook ${path} NAME_WE)
    list(APPEND SSE2STR_INSTALLED_HOOKS ${hook})
  endforeach()
  set(SSE2STR_ALIAS_OPTIONS "")
  foreach(alias ${aliases})
    list(APPEND SSE2STR_ALIAS_OPTIONS "LINKER:--defsym=${alias}")
  endforeach()
  # A module's targets bring the support objects it needs.
  set(SSE2STR_OBJECT_NEEDS "")
  foreach(module ${modules})
    sse2str_needed_objects(${module} needed)
    foreach(provider ${needed})
      foreach(twin ${module} ${module}${SSE2STR_PROFILED_TARGET_SUFFIX})
        string(APPEND SSE2STR_OBJECT_NEEDS
          "  set_property(TARGET sse2str::${twin} APPEND PROPERTY INTERFACE_LINK_LIBRARIES\n"
          "               \"$<TARGET_OBJECTS:sse2str::${provider}>\")\n")
      endforeach()
    endforeach()
  endforeach()

  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/sse2str-config.cmake.in
    ${package}/sse2str-config.cmake
    INSTALL_DESTINATION ${SSE2STR_CONFIGDIR}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR SSE2STR_OBJDIR
              SSE2STR_SUPPRESSIONS)
  write_basic_package_version_file(${package}/sse2str-config-version.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${package}/sse2str-config.cmake ${package}/sse2str-config-version.cmake
          DESTINATION ${SSE2STR_CONFIGDIR})

  # pkg-config: the prefix relative to the directory of the .pc file.  Each
  # package comes in both configurations, the profiling one named with
  # `-profiled` behind.
  file(RELATIVE_PATH SSE2STR_PC_TO_PREFIX
       /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" SSE2STR_PC_TO_PREFIX "${SSE2STR_PC_TO_PREFIX}")
  set(pc_files "")
  foreach(config plain profiled)
    set(suffix "")
    set(file_suffix "")
    set(SSE2STR_CONFIGURATION "without the profiling hook")
    if(config STREQUAL profiled)
      set(suffix ${SSE2STR_PROFILED_PACKAGE_SUFFIX})
      set(file_suffix ${p})
      set(SSE2STR_CONFIGURATION "calling _mcount on entry, for gprof")
    endif()
    set(SSE2STR_PC_NAME sse2str${suffix})
    set(SSE2STR_ARCHIVE libsse2str${file_suffix}.a)
    sse2str_pc_file(sse2str${suffix} sse2str.pc.in)
    # One package per object, requiring the packages of what it needs (the
    # support objects, which have no hook, once).
    set(objects ${modules})
    if(config STREQUAL plain)
      list(APPEND objects ${support})
    endif()
    foreach(object ${objects})
      sse2str_needed_objects(${object} needed)
      list(TRANSFORM needed PREPEND sse2str-)
      string(REPLACE ";" " " SSE2STR_OBJECT_REQUIRES "${needed}")
      set(SSE2STR_PC_NAME sse2str-${object}${suffix})
      set(SSE2STR_OBJECT_FILE ${object}.o)
      if(object IN_LIST modules)
        set(SSE2STR_OBJECT_FILE ${object}${file_suffix}.o)
      endif()
      sse2str_pc_file(${SSE2STR_PC_NAME} sse2str-object.pc.in)
    endforeach()
    # The standard names: every module and the support objects they need,
    # bound straight by linker aliases behind the refusal without SSE2, or
    # chosen by processor.
    set(routines "")
    foreach(module ${modules})
      string(APPEND routines " \${objdir}/${module}${file_suffix}.o")
    endforeach()
    foreach(object ${support})
      string(APPEND routines " \${objdir}/${object}.o")
    endforeach()
    set(SSE2STR_PC_NAME sse2str-interpose${suffix})
    set(SSE2STR_PC_LIBS "${routines} \${objdir}/sse2_required.o")
    foreach(alias ${aliases})
      string(APPEND SSE2STR_PC_LIBS " -Wl,--defsym=${alias}")
    endforeach()
    set(SSE2STR_PC_DESCRIPTION "Routes an executable's own calls of the standard routines \
to the sse2str routines, ${SSE2STR_CONFIGURATION}; refuses to start on a processor without \
SSE2 (executables only, linked with -m32 -no-pie or -static; compile with -fno-builtin)")
    sse2str_pc_file(${SSE2STR_PC_NAME} sse2str-names.pc.in)
    set(SSE2STR_PC_NAME sse2str-dispatch${suffix})
    set(SSE2STR_PC_LIBS "${routines} \${objdir}/dispatch.o \${objdir}/generic.o")
    set(SSE2STR_PC_DESCRIPTION "Routes an executable's own calls of the standard routines \
to the sse2str routines, ${SSE2STR_CONFIGURATION}, on processors with SSE2, and to plain-C \
versions on others (executables only, linked with -m32 -no-pie or -static; compile with \
-fno-builtin)")
    sse2str_pc_file(${SSE2STR_PC_NAME} sse2str-names.pc.in)
  endforeach()
  install(FILES ${pc_files} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
