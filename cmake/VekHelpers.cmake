# Helpers shared by every subsystem's CMakeLists.txt.

# Libraries and test programs compile their units in batches: each batch is one unit that
# includes several source files, so that the system, JSON and COM headers every file pulls in
# are read and compiled once per batch rather than once per file. A clean build then costs about
# half the CPU time. Files of one library or program must therefore not define the same names
# at file scope (static functions, anonymous namespaces); a file that cannot share a unit says
# so with SKIP_UNITY_BUILD_INCLUSION in its CMakeLists.txt.
option(VEK_UNITY_BUILD "Compile libraries and test programs in batches of units" ON)
set(VEK_UNITY_BATCH_SIZE 16 CACHE STRING "Source files per batch of a unity build")

function(vek_unity_build target)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ${VEK_UNITY_BUILD}
    UNITY_BUILD_BATCH_SIZE ${VEK_UNITY_BATCH_SIZE})
  if(VEK_UNITY_BUILD)
    # A source file included by a batch counts as a header for GCC, which then warns about every
    # test fixture of an anonymous namespace that a test class derives from.
    target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
  endif()
endfunction()

# vek_add_library(name DIRS dir... [EXCLUDE regex...] [DEPS lib...])
# A static library made of every .cpp below the given folders (relative to the caller), but those
# whose path relative to the caller matches an EXCLUDE expression. Folders are read when the tree
# is configured: tools/configure.sh (make build) configures again when a source file comes or goes. DEPS names exactly the libraries
# it stands on, all of lower subsystems (tools/check_layers.py checks it).
function(vek_add_library name)
  cmake_parse_arguments(A "" "" "DIRS;EXCLUDE;DEPS" ${ARGN})
  set(folders)
  foreach(d IN LISTS A_DIRS)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${d})
    list(APPEND folders "${rel}")
  endforeach()
  set_property(GLOBAL APPEND PROPERTY VEK_LIBRARIES "${name}")
  set_property(GLOBAL PROPERTY VEK_LIBRARY_DIRS_${name} "${folders}")
  set(srcs)
  foreach(d IN LISTS A_DIRS)
    file(GLOB_RECURSE s RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${d}/*.cpp)
    foreach(f IN LISTS s)
      cmake_path(NORMAL_PATH f)
      set(keep TRUE)
      foreach(re IN LISTS A_EXCLUDE)
        if(f MATCHES "${re}")
          set(keep FALSE)
        endif()
      endforeach()
      if(keep)
        list(APPEND srcs ${CMAKE_CURRENT_SOURCE_DIR}/${f})
      endif()
    endforeach()
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC vek_options ${A_DEPS})
    vek_unity_build(${name})
  else()
    # Headers only so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE vek_options ${A_DEPS})
  endif()
endfunction()

# The test programs' own units without optimisation or debug information: they are made of
# GoogleTest's and GoogleMock's templates and JSON literals, which cost much more to optimise and
# describe than they gain (a clean build of them takes a quarter to a third less CPU time than at
# -O1 -g1).
# The code under test comes from the libraries, built as shipped.
set(VEK_TEST_COMPILE_OPTIONS -O0 -g0 CACHE STRING "Compile options of the test programs' own units")

# vek_add_test(name SOURCES src... [LIBS lib...] [DEPENDS target...] [FIXTURES fixture...]
#              [ENVIRONMENT VAR=value...] [TIMEOUT seconds])
# One GoogleTest executable, registered as one CTest entry that runs under Wine through the
# emulator. DEPENDS names targets (test DLLs, programs) that must be built for the test.
function(vek_add_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;FIXTURES;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE vek_options ${A_LIBS} GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${name} PRIVATE ${VEK_TEST_COMPILE_OPTIONS})
  vek_unity_build(${name})
  if(A_DEPENDS)
    add_dependencies(${name} ${A_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "VEK_BUILD_DIR=${PROJECT_BINARY_DIR};VEK_SOURCE_DIR=${PROJECT_SOURCE_DIR};VEK_CAPTURE_OUTPUT=1;${A_ENVIRONMENT}")
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
    # stdcall exports keep their plain names from the .def file (the fixup maps them to the
    # decorated symbols)
    target_link_options(${name} PRIVATE -Wl,--kill-at -Wl,--enable-stdcall-fixup)
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

# vek_write_library_graph(file): writes one line per library of vek_add_library, after every
# folder has added its targets: "name<TAB>its;folders<TAB>linked;libraries". The layering check
# reads it.
function(vek_write_library_graph file)
  get_property(libs GLOBAL PROPERTY VEK_LIBRARIES)
  set(text "")
  foreach(lib IN LISTS libs)
    get_property(dir GLOBAL PROPERTY VEK_LIBRARY_DIRS_${lib})
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${lib} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(links ${lib} LINK_LIBRARIES)
    endif()
    if(NOT links)
      set(links "")
    endif()
    string(APPEND text "${lib}\t${dir}\t${links}\n")
  endforeach()
  file(WRITE ${file}.tmp "${text}")
  file(COPY_FILE ${file}.tmp ${file} ONLY_IF_DIFFERENT)
  file(REMOVE ${file}.tmp)
endfunction()

# System DLLs that the launcher binds on first use instead of importing them. The loader resolves
# a program's imports before its first instruction, searching the program's own folder first; the
# launcher runs from download and run folders, so a DLL planted beside it would be loaded before
# its start-up restricts DLL loading to the system folder. A DLL that is bound on first use is
# loaded after that restriction, from the system folder. DLLs that the system always takes from
# its own folder (its known DLLs) stay ordinary imports.
set(VEK_DELAY_LOADED_DLLS msi winhttp wtsapi32 userenv iphlpapi crypt32 wintrust version comctl32 gdiplus)

# vek_delay_load_system_dlls(target)
# Links the target against delay-load import libraries of VEK_DELAY_LOADED_DLLS, made from the
# toolchain's import libraries under the same names: their folder comes first on the target's
# library path, so each "-l<name>" that the libraries ask for finds the delay-load one.
function(vek_delay_load_system_dlls target)
  set(dir ${PROJECT_BINARY_DIR}/delay-imports)
  if(VEK_X64)
    set(arch x64)
  else()
    set(arch x86)
  endif()
  set(outputs)
  foreach(name IN LISTS VEK_DELAY_LOADED_DLLS)
    set(input ${CMAKE_FIND_ROOT_PATH}/lib/lib${name}.a)
    if(NOT EXISTS ${input})
      message(FATAL_ERROR "No import library ${input}")
    endif()
    add_custom_command(OUTPUT ${dir}/lib${name}.a
      COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/make-delay-import-lib.sh ${CMAKE_NM} ${CMAKE_DLLTOOL} ${input}
              ${name}.dll ${dir}/lib${name}.a ${arch}
      DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/make-delay-import-lib.sh
      COMMENT "Delay-load import library of ${name}.dll")
    list(APPEND outputs ${dir}/lib${name}.a)
  endforeach()
  file(MAKE_DIRECTORY ${dir})
  if(NOT TARGET vek_delay_imports)
    add_custom_target(vek_delay_imports DEPENDS ${outputs})
  endif()
  add_dependencies(${target} vek_delay_imports)
  target_link_directories(${target} BEFORE PRIVATE ${dir})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${outputs})
endfunction()

# vek_untrusted_folders(fixture [IN_PREFIX folder])
# A CTest fixture that makes the planted folders and files of tests/support/make_untrusted_folders.sh
# before its tests run: in "untrusted" of the caller's build folder, or with IN_PREFIX in that
# folder of the tree's Wine prefix's ProgramData (the prefix is made first). VEK_UNTRUSTED_DIR
# names the folder afterwards, for the tests' environment variable VEK_UNTRUSTED.
function(vek_untrusted_folders fixture)
  cmake_parse_arguments(A "" "IN_PREFIX" "" ${ARGN})
  set(script ${PROJECT_SOURCE_DIR}/tests/support/make_untrusted_folders.sh)
  if(A_IN_PREFIX)
    set(dir ${PROJECT_BINARY_DIR}/wineprefix/drive_c/ProgramData/${A_IN_PREFIX})
    add_test(NAME ${fixture}_setup COMMAND bash -c
      "bash ${PROJECT_SOURCE_DIR}/tools/wine-prefix.sh ${PROJECT_BINARY_DIR} && bash ${script} ${dir}")
  else()
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/untrusted)
    add_test(NAME ${fixture}_setup COMMAND bash ${script} ${dir})
  endif()
  set_tests_properties(${fixture}_setup PROPERTIES FIXTURES_SETUP ${fixture})
  set(VEK_UNTRUSTED_DIR ${dir} PARENT_SCOPE)
endfunction()

# Names that test programs share with the launcher and with each other in one tree's Wine prefix,
# as CTest resource locks: a test program that uses one of these names (the launcher itself
# uses them all) holds its lock, so that no two programs use it at once. Names that carry a
# manifest id, a silo id or a key of the test's own need no lock.
#   VEK_LOCK_TASKS          the prefix's scheduled tasks: the run task "Talvern Download Manager",
#                           the installation task, and the legacy tasks a starting launcher deletes
#   VEK_LOCK_DATA_FOLDER    ProgramData\Talvern\Vek: the launcher's logs (named by the second
#                           they start in), URL files, lock folder and its bin folder
#   VEK_LOCK_STARTUP_TRACE  the value "StartupTrace" under HKLM\Software\Vallor\Vek
#   VEK_LOCK_DISPLAY        the tree's display and the prefix's DPI setting
#   VEK_LOCK_PENDING_RENAMES the machine's pending renames, which tests of deletions at the
#                           restart read and put back as they were
set(VEK_LOCK_TASKS vek_installation_task)
set(VEK_LOCK_DATA_FOLDER vek_data_folder)
set(VEK_LOCK_STARTUP_TRACE vek_startup_trace)
set(VEK_LOCK_DISPLAY vek_display)
set(VEK_LOCK_PENDING_RENAMES vek_pending_renames)
# Everything a run of the real launcher touches.
set(VEK_LOCKS_LAUNCHER ${VEK_LOCK_TASKS} ${VEK_LOCK_DATA_FOLDER} ${VEK_LOCK_STARTUP_TRACE})

# vek_test_locks(test lock...): the test holds these resource locks besides any it holds already.
function(vek_test_locks test)
  if(VEK_RUN_TESTS)
    set_property(TEST ${test} APPEND PROPERTY RESOURCE_LOCK ${ARGN})
  endif()
endfunction()
