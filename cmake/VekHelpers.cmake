# Helpers shared by every subsystem's CMakeLists.txt.

# vek_add_library(name DIRS dir... [DEPS lib...])
# A static library made of every .cpp below the given folders (relative to the caller).
function(vek_add_library name)
  cmake_parse_arguments(A "" "" "DIRS;DEPS" ${ARGN})
  set(srcs)
  foreach(d IN LISTS A_DIRS)
    file(GLOB_RECURSE s CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${d}/*.cpp)
    list(APPEND srcs ${s})
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC vek_options ${A_DEPS})
  else()
    # Headers only so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE vek_options ${A_DEPS})
  endif()
endfunction()

# vek_add_test(name SOURCES src... [LIBS lib...] [DEPENDS target...] [FIXTURES fixture...]
#              [ENVIRONMENT VAR=value...] [TIMEOUT seconds])
# One GoogleTest executable, registered as one CTest entry that runs under Wine through the
# emulator. DEPENDS names targets (test DLLs, programs) that must be built for the test.
function(vek_add_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;FIXTURES;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE vek_options ${A_LIBS} GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  if(A_DEPENDS)
    add_dependencies(${name} ${A_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "VEK_BUILD_DIR=${PROJECT_BINARY_DIR};VEK_SOURCE_DIR=${PROJECT_SOURCE_DIR};${A_ENVIRONMENT}")
  if(A_FIXTURES)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${A_FIXTURES}")
  endif()
endfunction()

# vek_add_dll(name SOURCES src... DEF file.def [LIBS lib...])
# A DLL with undecorated exports named by a .def file, linked statically.
function(vek_add_dll name)
  cmake_parse_arguments(A "" "DEF" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${A_SOURCES} ${A_DEF})
  set_target_properties(${name} PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  target_link_libraries(${name} PRIVATE vek_options ${A_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # stdcall exports keep their plain names from the .def file
    target_link_options(${name} PRIVATE -Wl,--kill-at)
  endif()
endfunction()

# vek_add_test_dirs(): adds every sub-folder of the calling folder that has a CMakeLists.txt,
# so that each area of tests keeps its own list.
function(vek_add_test_dirs)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
