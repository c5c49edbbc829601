# Flavours, warnings, tests and fuzz targets shared by every module.

if(KARVEX_FLAVOUR STREQUAL "windows")
    if(NOT WIN32)
        message(FATAL_ERROR "the windows flavour needs -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake")
    endif()
    add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
    set(KARVEX_WINEPREFIX "${CMAKE_BINARY_DIR}/../wine-prefix" CACHE PATH "Wine prefix the tests run in")
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env WINEPREFIX=${KARVEX_WINEPREFIX} WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=" wine)
elseif(KARVEX_FLAVOUR STREQUAL "asan")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
elseif(KARVEX_FLAVOUR STREQUAL "tsan")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(KARVEX_FLAVOUR STREQUAL "fuzz")
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "the fuzz flavour needs clang (-DCMAKE_CXX_COMPILER=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT KARVEX_FLAVOUR STREQUAL "linux")
    message(FATAL_ERROR "unknown KARVEX_FLAVOUR '${KARVEX_FLAVOUR}'")
endif()

set(KARVEX_FUZZ_SECONDS 30 CACHE STRING "How long each fuzz target runs as a test")

function(karvex_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# GoogleTest from the sources of Debian's googletest package, so every flavour (MinGW and the
# sanitizers included) builds it with its own compiler and flags.
if(NOT KARVEX_FLAVOUR STREQUAL "fuzz")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    include(GoogleTest)
endif()

# karvex_test(NAME n SOURCES ... [LIBS ...] [CONCURRENT])
# One test program; each of its test cases becomes a CTest test named <flavour>.<suite>.<case>.
# The tsan flavour builds only the programs marked CONCURRENT.
function(karvex_test)
    cmake_parse_arguments(T "CONCURRENT" "NAME" "SOURCES;LIBS" ${ARGN})
    if(KARVEX_FLAVOUR STREQUAL "fuzz")
        return()
    endif()
    if(KARVEX_FLAVOUR STREQUAL "tsan" AND NOT T_CONCURRENT)
        return()
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    karvex_defaults(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} karvex_testing GTest::gtest GTest::gmock)
    gtest_discover_tests(${T_NAME}
        TEST_PREFIX "${KARVEX_FLAVOUR}."
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT 300)
endfunction()

# karvex_fuzzer(NAME n SOURCES ... [LIBS ...] CORPUS dir)
# In the fuzz flavour a libFuzzer binary that runs for KARVEX_FUZZ_SECONDS as a test; in the other
# native flavours the same entry point replays the seed corpus, so the harness stays compiled and
# every seed stays a regression case.
function(karvex_fuzzer)
    cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
    if(KARVEX_FLAVOUR STREQUAL "windows" OR KARVEX_FLAVOUR STREQUAL "tsan")
        return()
    endif()
    add_executable(${F_NAME} ${F_SOURCES})
    karvex_defaults(${F_NAME})
    target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
    if(KARVEX_FLAVOUR STREQUAL "fuzz")
        target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
        set(work "${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}-corpus")
        add_test(NAME fuzz.${F_NAME}
            COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                    $<TARGET_FILE:${F_NAME}> -max_total_time=${KARVEX_FUZZ_SECONDS}
                    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${work} ${F_CORPUS})
        set_tests_properties(fuzz.${F_NAME} PROPERTIES TIMEOUT 600)
        file(MAKE_DIRECTORY ${work})
    else()
        target_sources(${F_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/platform/testing/fuzz_replay_main.cpp)
        add_test(NAME ${KARVEX_FLAVOUR}.replay.${F_NAME} COMMAND ${F_NAME} ${F_CORPUS})
    endif()
endfunction()

# karvex_benchmark(NAME n SOURCES ... [LIBS ...])
# A Google Benchmark program, built in the linux flavour only (optimised, no sanitizers). One short
# run of it is a test, so it keeps working; `scripts/dev bench` runs it for its figures.
function(karvex_benchmark)
    cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
    if(NOT KARVEX_FLAVOUR STREQUAL "linux")
        return()
    endif()
    find_package(benchmark REQUIRED)
    add_executable(${B_NAME} ${B_SOURCES})
    karvex_defaults(${B_NAME})
    target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark)
    add_test(NAME linux.bench.${B_NAME} COMMAND ${B_NAME} --benchmark_min_time=0.01)
    set_tests_properties(linux.bench.${B_NAME} PROPERTIES TIMEOUT 300)
endfunction()

# karvex_module_tests(LIBS ...)
# Every tests/*_test.cpp of the calling module becomes one test program; programs named
# *_mt_test.cpp exercise concurrency and run under ThreadSanitizer too. Every fuzz/*_fuzz.cpp
# becomes a fuzz target seeded from fuzz/corpus/<name>/. Every bench/*_bench.cpp becomes a
# benchmark program.
function(karvex_module_tests)
    cmake_parse_arguments(M "" "" "LIBS" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
    foreach(source ${tests})
        get_filename_component(name ${source} NAME_WE)
        set(concurrent "")
        if(name MATCHES "_mt_test$")
            set(concurrent CONCURRENT)
        endif()
        karvex_test(NAME ${name} SOURCES ${source} LIBS ${M_LIBS} ${concurrent})
    endforeach()
    file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/*_fuzz.cpp)
    foreach(source ${fuzzers})
        get_filename_component(name ${source} NAME_WE)
        karvex_fuzzer(NAME ${name} SOURCES ${source} LIBS ${M_LIBS}
            CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${name})
    endforeach()
    file(GLOB benchmarks CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*_bench.cpp)
    foreach(source ${benchmarks})
        get_filename_component(name ${source} NAME_WE)
        karvex_benchmark(NAME ${name} SOURCES ${source} LIBS ${M_LIBS})
    endforeach()
endfunction()
