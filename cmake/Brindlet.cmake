# Shared build settings and the helpers every module's CMakeLists uses.

add_library(brindlet_options INTERFACE)
target_compile_options(brindlet_options INTERFACE -Wall -Wextra -Wpedantic)
if(BRINDLET_WERROR)
  target_compile_options(brindlet_options INTERFACE -Werror)
endif()
if(BRINDLET_SANITIZE)
  target_compile_options(brindlet_options INTERFACE -fsanitize=${BRINDLET_SANITIZE} -fno-omit-frame-pointer
                                                    -fno-sanitize-recover=undefined)
  target_link_options(brindlet_options INTERFACE -fsanitize=${BRINDLET_SANITIZE})
  # clang 14 cannot compile coroutines with its function-type check ("Cannot represent a
  # difference across sections").
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND BRINDLET_SANITIZE MATCHES "undefined")
    target_compile_options(brindlet_options INTERFACE -fno-sanitize=function)
  endif()
  # g++'s null, alignment and dynamic-type checks cost a third of each compile: AddressSanitizer
  # reports a null dereference itself, and x86 takes misaligned reads as they come.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND BRINDLET_SANITIZE MATCHES "undefined")
    target_compile_options(brindlet_options INTERFACE -fno-sanitize=vptr,null,alignment)
  endif()
  if(BRINDLET_SANITIZE MATCHES "thread")
    # Asio's shared pointers use fences that ThreadSanitizer cannot model; g++ warns about it.
    target_compile_options(brindlet_options INTERFACE -Wno-tsan)
  endif()
endif()

# BRINDLET_UNITY: the modules' libraries compile as unity sources, sixteen files to one, which
# halves their compile time where each file instantiates the same coroutine and Asio templates
# (the sanitizer trees). Files whose file-local helpers share a name with another file's, and
# the Qt libraries (Qt's `signals` breaks GLib's headers), compile alone.
option(BRINDLET_UNITY "Compile the modules' libraries as unity sources" OFF)
set(BRINDLET_UNITY_ALONE
    app/core/App.cpp app/core/LogDestination.cpp app/ui/PictureBackdrop.cpp app/ui/TrayHosts.cpp
    deck/ActionRunner.cpp deck/DeckActions.cpp deck/DeckEngine.cpp
    platform/linux/media/LibavVideoEncoder.cpp platform/linux/x11/RandrLeftovers.cpp
    profiles/Profile.cpp protocol/DeckMessages.cpp streaming/DisplayStreamer.cpp
    streaming/ScreenCapture.cpp streaming/VideoPipeline.cpp)
function(brindlet_unity target)
  get_target_property(type ${target} TYPE)
  if(NOT BRINDLET_UNITY OR type STREQUAL "INTERFACE_LIBRARY" OR target MATCHES
                                                                   "^brindlet_(design|app_ui)$")
    return()
  endif()
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 16)
  # g++ takes a file-local type in a unity source's included file for one of a header's.
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    get_filename_component(path "${source}" ABSOLUTE)
    file(RELATIVE_PATH path "${PROJECT_SOURCE_DIR}/src" "${path}")
    if(path IN_LIST BRINDLET_UNITY_ALONE)
      set_source_files_properties(${source} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endforeach()
endfunction()

# brindlet_module(<name> SOURCES ... [DEPS ...] [PUBLIC_DEPS ...])
# A static library brindlet_<name> whose headers are included as "<name>/Header.h".
function(brindlet_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS;PUBLIC_DEPS" ${ARGN})
  add_library(brindlet_${name} STATIC ${M_SOURCES})
  target_include_directories(brindlet_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(brindlet_${name} PUBLIC brindlet_options ${M_PUBLIC_DEPS} PRIVATE ${M_DEPS})
  brindlet_unity(brindlet_${name})
endfunction()

# brindlet_fakes(<module> SOURCES ... [DEPS ...] [PUBLIC_DEPS ...])
# The test doubles of a module's roles, beside the roles in the module's folder: the library
# brindlet_<module>_fakes, which only tests, tools and benchmarks link (.ci/run checks that the
# app holds none of it). Header-only doubles make an interface library.
function(brindlet_fakes module)
  cmake_parse_arguments(F "" "" "SOURCES;DEPS;PUBLIC_DEPS" ${ARGN})
  set(target brindlet_${module}_fakes)
  set(compiled ${F_SOURCES})
  list(FILTER compiled INCLUDE REGEX "\\.cpp$")
  if(compiled)
    add_library(${target} STATIC ${F_SOURCES})
    target_link_libraries(${target} PUBLIC brindlet_${module} ${F_PUBLIC_DEPS} PRIVATE ${F_DEPS})
    brindlet_unity(${target})
  else()
    add_library(${target} INTERFACE ${F_SOURCES})
    target_link_libraries(${target} INTERFACE brindlet_${module} ${F_PUBLIC_DEPS})
  endif()
endfunction()

# The blocking check, switched on in every test binary; compiled once, and linked as an object so
# that its initialiser always runs.
add_library(brindlet_blocking_check_on OBJECT ${PROJECT_SOURCE_DIR}/tests/support/BlockingCheckOn.cpp)
target_link_libraries(brindlet_blocking_check_on PRIVATE brindlet_runtime)

# brindlet_test(<module> SOURCES ... [DEPS ...] [LABELS ...])
# One GoogleTest binary per module, registered with ctest under the module's label.
function(brindlet_test module)
  cmake_parse_arguments(T "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  set(target ${module}_tests)
  add_executable(${target} ${T_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${target} PRIVATE brindlet_${module} ${T_DEPS} brindlet_blocking_check_on
                                          GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES LABELS "${module};${T_LABELS}"
                                            ENVIRONMENT "BRINDLET_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  add_dependencies(brindlet_tests ${target})
  add_dependencies(brindlet_unit_tests ${target})
endfunction()

# brindlet_peer_test(<module> <name> SOURCES ... [DEPS ...])
# Tests that run a real program nobody here wrote; labelled with the module and "peer".
function(brindlet_peer_test module name)
  cmake_parse_arguments(T "" "" "SOURCES;DEPS" ${ARGN})
  set(target ${module}_${name}_peer_tests)
  add_executable(${target} ${T_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${target} PRIVATE brindlet_${module} ${T_DEPS} brindlet_blocking_check_on
                                          GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES LABELS "${module};peer"
                                            ENVIRONMENT "BRINDLET_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  add_dependencies(brindlet_tests ${target})
endfunction()

# brindlet_fuzz(<name> SOURCES ... DEPS ... SEEDS <folders>...)
# A libFuzzer target when built with clang and BRINDLET_LIBFUZZER; otherwise the same entry
# point driven by a seeded random-input driver and registered as a test labelled "fuzz". Both
# start from the seed folders (listed in fuzz_<name>.seeds beside the target for .ci/run) and
# use tests/fuzz/<name>.dict when it exists.
function(brindlet_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;DEPS;SEEDS" ${ARGN})
  set(target fuzz_${name})
  set(seeds "")
  foreach(folder IN LISTS F_SEEDS)
    get_filename_component(folder "${folder}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND seeds "${folder}")
  endforeach()
  list(JOIN seeds "\n" seedLines)
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/${target}.seeds" "${seedLines}\n")
  if(BRINDLET_LIBFUZZER)
    add_executable(${target} ${F_SOURCES})
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    add_dependencies(brindlet_fuzzers ${target})
  else()
    add_executable(${target} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/RandomDriver.cpp)
    set(dict "${PROJECT_SOURCE_DIR}/tests/fuzz/${name}.dict")
    set(args 200000)
    if(EXISTS "${dict}")
      list(APPEND args "-dict=${dict}")
    endif()
    add_test(NAME ${target} COMMAND ${target} ${args} ${seeds})
    set_tests_properties(${target} PROPERTIES LABELS "fuzz")
    add_dependencies(brindlet_tests ${target})
    add_dependencies(brindlet_unit_tests ${target})
  endif()
  target_link_libraries(${target} PRIVATE ${F_DEPS})
endfunction()

# Precompiles the Boost.Asio headers for a target whose sources are asynchronous code: they are
# most of the compile time of such a file. The runtime compiles them once and every other target
# reuses its result: one precompiled header is about 200 MB, too much to keep one per target.
function(brindlet_asio_pch target)
  if(target STREQUAL "brindlet_runtime")
    target_precompile_headers(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/Asio.h)
  else()
    target_precompile_headers(${target} REUSE_FROM brindlet_runtime)
  endif()
endfunction()
