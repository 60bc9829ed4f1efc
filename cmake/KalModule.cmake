# Building a module once, for two hosts.
#
# kal_add_module(NAME [EMBEDDED_LIBS lib...] [OCTAVE_LIBS lib...])
#   builds the sources listed in NAME.sources, the module's source manifest
#   in the current folder (read also by toolbox/build_mex.m and
#   tools/octave_pkg/make_pkg.sh):
#   NAME_obj      object library of the sources, compiled against the
#                 embedded host's mex.h (unit tests link it with kalhost)
#   NAME          the embedded module, modules/NAME.so
#   NAME_octave   the Octave MEX file, octave/NAME.mex (when Octave is found)
# Module code is linked statically into each MEX file; only the host's API
# (and, for the wrappers, the image library) comes from outside.

find_program(KALMEX_MKOCTFILE mkoctfile)
find_program(KALMEX_OCTAVE_CLI octave-cli)
set(KALMEX_HAVE_OCTAVE OFF)
if(KALMEX_OCTAVE AND KALMEX_MKOCTFILE)
  execute_process(COMMAND ${KALMEX_MKOCTFILE} -p INCFLAGS
                  OUTPUT_VARIABLE _kal_octave_incflags OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _kal_octave_rc)
  if(_kal_octave_rc EQUAL 0)
    separate_arguments(_kal_octave_incflags UNIX_COMMAND "${_kal_octave_incflags}")
    set(KALMEX_OCTAVE_INCLUDES "")
    foreach(flag ${_kal_octave_incflags})
      string(REGEX REPLACE "^-I" "" dir "${flag}")
      list(APPEND KALMEX_OCTAVE_INCLUDES "${dir}")
    endforeach()
    set(KALMEX_HAVE_OCTAVE ON)
  endif()
endif()
message(STATUS "kalmex: Octave MEX files: ${KALMEX_HAVE_OCTAVE}")

# Flags for every MEX file: no GNU unique symbols, so that clearing a module
# really unloads it and the next load starts from fresh module state.
# (clang makes no such symbols.)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(KALMEX_MEX_COMPILE_OPTIONS -fno-gnu-unique)
else()
  set(KALMEX_MEX_COMPILE_OPTIONS "")
endif()

# Shared libraries of the embedded host resolve every symbol at link time;
# sanitizer runtimes come from the executable instead.
if(KALMEX_FUZZ OR KALMEX_SANITIZE OR KALMEX_TSAN)
  set(KALMEX_NO_UNDEFINED "")
else()
  set(KALMEX_NO_UNDEFINED -Wl,--no-undefined)
endif()

# kal_read_manifest(VAR FILE): the sources FILE lists, as full paths.  One
# file name a line, relative to the manifest's folder (a sibling folder's as
# ../OTHER/FILE); a line @OTHER.sources stands for the sources that manifest
# lists; blank lines and lines starting with # are passed over.  Editing a
# manifest reconfigures.
function(kal_read_manifest VAR FILE)
  get_filename_component(dir ${FILE} DIRECTORY)
  file(STRINGS ${FILE} lines)
  set(sources "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^@(.*)$")
      kal_read_manifest(included ${dir}/${CMAKE_MATCH_1})
      list(APPEND sources ${included})
    elseif(NOT line STREQUAL "" AND NOT line MATCHES "^#")
      get_filename_component(source ${dir}/${line} ABSOLUTE) # ../OTHER/FILE made plain
      list(APPEND sources ${source})
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FILE})
  set(${VAR} ${sources} PARENT_SCOPE)
endfunction()

# kal_read_modules(FILE): the modules that FILE (modules.txt: NAME FOLDER
# [imagelib] a line, # for comments) lists and whose manifest
# FOLDER/NAME.sources is in the tree, in the file's order:
#   KALMEX_MODULES           their names
#   KALMEX_MODULE_FOLDERS    their folders, each once
#   KALMEX_IMAGELIB_MODULES  those that link the image library
#   KALMEX_FOLDER_OF_<NAME>  the folder of module NAME
# Editing the file reconfigures.
function(kal_read_modules FILE)
  file(STRINGS ${FILE} lines)
  set(names "")
  set(folders "")
  set(imagelib "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    string(REGEX REPLACE "[ \t]+" ";" words "${line}")
    list(LENGTH words count)
    if(count LESS 2 OR count GREATER 3)
      message(FATAL_ERROR "${FILE}: not NAME FOLDER [imagelib]: ${line}")
    endif()
    list(GET words 0 name)
    list(GET words 1 folder)
    if(count EQUAL 3)
      list(GET words 2 flag)
      if(NOT flag STREQUAL "imagelib")
        message(FATAL_ERROR "${FILE}: ${name}: unknown word ${flag}")
      endif()
    endif()
    if(NOT EXISTS ${CMAKE_SOURCE_DIR}/${folder}/${name}.sources)
      continue() # not in the tree
    endif()
    list(APPEND names ${name})
    if(NOT folder IN_LIST folders)
      list(APPEND folders ${folder})
    endif()
    if(count EQUAL 3)
      list(APPEND imagelib ${name})
    endif()
    set(KALMEX_FOLDER_OF_${name} ${folder} PARENT_SCOPE)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FILE})
  set(KALMEX_MODULES ${names} PARENT_SCOPE)
  set(KALMEX_MODULE_FOLDERS ${folders} PARENT_SCOPE)
  set(KALMEX_IMAGELIB_MODULES ${imagelib} PARENT_SCOPE)
endfunction()

# kal_record_sources(TARGET MANIFEST): writes the sources TARGET is built
# from to manifests/TARGET.built in the build tree, beside the name of its
# manifest, for the test that the two agree.
# The records are written afresh at every configure.
file(REMOVE_RECURSE ${CMAKE_BINARY_DIR}/manifests)
function(kal_record_sources TARGET MANIFEST)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/manifests/${TARGET}.built
       CONTENT "${MANIFEST}\n$<JOIN:$<TARGET_PROPERTY:${TARGET},SOURCES>,\n>\n")
endfunction()

function(kal_add_module NAME)
  cmake_parse_arguments(M "" "" "EMBEDDED_LIBS;OCTAVE_LIBS" ${ARGN})
  set(manifest ${CMAKE_CURRENT_SOURCE_DIR}/${NAME}.sources)
  kal_read_manifest(M_SOURCES ${manifest})
  add_library(${NAME}_obj OBJECT ${M_SOURCES})
  target_compile_options(${NAME}_obj PRIVATE ${KALMEX_MEX_COMPILE_OPTIONS})
  target_include_directories(${NAME}_obj PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${NAME}_obj PUBLIC kalhost_api kalmexutil ${M_EMBEDDED_LIBS})
  kal_record_sources(${NAME}_obj ${manifest})

  add_library(${NAME} MODULE)
  target_link_libraries(${NAME} PRIVATE ${NAME}_obj kalmexutil kalhost ${M_EMBEDDED_LIBS})
  set_target_properties(${NAME} PROPERTIES PREFIX "" SUFFIX ".so"
                        LIBRARY_OUTPUT_DIRECTORY ${KALMEX_MODULE_DIR})
  target_link_options(${NAME} PRIVATE -Wl,-Bsymbolic ${KALMEX_NO_UNDEFINED})

  if(KALMEX_HAVE_OCTAVE)
    add_library(${NAME}_octave MODULE ${M_SOURCES} ${KALMEX_SOURCE_ROOT}/host/mexutil.cpp
                ${KALMEX_SOURCE_ROOT}/common/machine.cpp)
    target_include_directories(${NAME}_octave PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                               ${KALMEX_SOURCE_ROOT}/host ${KALMEX_SOURCE_ROOT}/common
                               ${KALMEX_OCTAVE_INCLUDES})
    target_compile_options(${NAME}_octave PRIVATE ${KALMEX_MEX_COMPILE_OPTIONS})
    target_link_libraries(${NAME}_octave PRIVATE ${M_OCTAVE_LIBS})
    kal_record_sources(${NAME}_octave ${manifest})
    target_link_options(${NAME}_octave PRIVATE -Wl,-Bsymbolic)
    set_target_properties(${NAME}_octave PROPERTIES OUTPUT_NAME ${NAME} PREFIX "" SUFFIX ".mex"
                          LIBRARY_OUTPUT_DIRECTORY ${KALMEX_OCTAVE_DIR})
    # Octave finds the help (and the test and demo blocks) of a compiled
    # function only beside it; copied again whenever the file changes.
    set(help ${KALMEX_SOURCE_ROOT}/toolbox/${NAME}.m)
    if(EXISTS ${help})
      add_custom_command(OUTPUT ${KALMEX_OCTAVE_DIR}/${NAME}.m
                         COMMAND ${CMAKE_COMMAND} -E copy ${help} ${KALMEX_OCTAVE_DIR}/${NAME}.m
                         DEPENDS ${help})
      add_custom_target(${NAME}_octave_help ALL DEPENDS ${KALMEX_OCTAVE_DIR}/${NAME}.m)
      add_dependencies(${NAME}_octave ${NAME}_octave_help)
    endif()
  endif()
endfunction()
