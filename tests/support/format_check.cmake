# Fails when any C or C++ source of the repository is not clang-format clean.
file(GLOB_RECURSE sources RELATIVE ${ROOT}
     ${ROOT}/*.cpp ${ROOT}/*.h ${ROOT}/*.hpp ${ROOT}/*.c ${ROOT}/*.cc)
list(FILTER sources EXCLUDE REGEX "^(build|\\.git)[^/]*/")
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${sources}
                WORKING_DIRECTORY ${ROOT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "clang-format: the files above need formatting (run: make format)")
endif()
