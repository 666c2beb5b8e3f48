# The project's build functions: one place for how a test, a benchmark and an
# output plug-in are built, so every folder declares only what is its own.

# tavo_add_test(<name> SOURCES <files...> [LIBS <libraries...>] [DEPENDS <targets...>]
#               [LABEL <label>] [PROPERTIES <name> <value>...])
# One GoogleTest program, registered with CTest case by case. It links the test
# support (tests/support/), the codec and the host; DEPENDS names programs or
# plug-ins it runs, built before it; PROPERTIES are CTest properties of each case.
# Each case is labelled with its program's name (LABEL replaces it), so that
# ctest -L picks whole programs (make test-armhf runs a chosen set).
function(tavo_add_test name)
    if(NOT TAVO_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;DEPENDS;PROPERTIES" ${ARGN})
    if(NOT T_LABEL)
        set(T_LABEL ${name})
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} tavotestsupport tavoemulation lcsf tavohost GTest::gtest_main
                          GTest::gmock)
    if(T_DEPENDS)
        add_dependencies(${name} ${T_DEPENDS})
    endif()
    # Listed when CTest runs, so a case list never goes stale (the compliance suite
    # gains a case when a plug-in folder is added, without being rebuilt).
    # A case that calls GTEST_SKIP is reported as skipped, not passed; make test lists
    # each with its reason. Parameterised cases are named by their suite's name
    # generator alone: a printed struct parameter is raw bytes that change every build.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
                         PROPERTIES TIMEOUT 300 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]" LABELS ${T_LABEL}
                         ${T_PROPERTIES})
endfunction()

# tavo_add_bench(<name>_bench <sources...>): a Google Benchmark program linked with
# the codec and the host; `make bench` runs every build/bin/*_bench.
function(tavo_add_bench name)
    if(NOT TAVO_BUILD_BENCH)
        return()
    endif()
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE benchmark::benchmark lcsf tavohost Threads::Threads)
endfunction()

# The program name of a plug-in folder's test or benchmark file.
function(tavo_plugin_program_name var name src)
    get_filename_component(base ${src} NAME_WE)
    string(FIND ${base} "${name}_" at)
    if(NOT at EQUAL 0)
        set(base ${name}_${base})
    endif()
    set(${var} ${base} PARENT_SCOPE)
endfunction()

# tavo_add_output_plugin(<Name>
#     [CORE <sources...>]    wire format, encoding, layout or device protocol: no
#                            sockets, devices or threads, testable on its own
#     OUTPUT <sources...>    the output class (the glue: Init, Close, PrepData, SendData)
#     PLUGIN <sources...>    createPlugin
#     [LIBS <libraries...>]  what core and output link besides the host's output kit
#     [TEST_LIBS <libraries...>]  what only its tests link (a decoder to check output)
# )
# Called once from src/channeloutput/<Name>/CMakeLists.txt. Builds:
#   <name>_core    static library of the CORE sources (when given)
#   <name>_output  static library of the OUTPUT sources, linking the core
#   <Name>         the plug-in module build/plugins/<Name>.so that tavod loads,
#                  installed to PREFIX/lib/tavo/plugins
#   tests/*_test.cpp    one test program each, linking <name>_output and the test
#                       support, with the plug-in and tavod built first
#   bench/*_bench.cpp   one benchmark program each, linking <name>_output, with the
#                       header-only helpers of tests/ and tests/support/ in reach
#   tests/sample-output.json   picked up by the compliance suite every plug-in passes;
#                       @TAVO_PLUGIN_TEST_DIR@ in it stands for the folder's tests/
#                       (for simulated devices kept there)
# Test and benchmark programs are named after their file, with "<name>_" in front
# unless the file name starts with it, so a copied folder never clashes.
# (<name> is <Name> in lower case.)
function(tavo_add_output_plugin Name)
    cmake_parse_arguments(P "" "" "CORE;OUTPUT;PLUGIN;LIBS;TEST_LIBS" ${ARGN})
    string(TOLOWER ${Name} name)
    set(dir ${CMAKE_CURRENT_SOURCE_DIR})

    if(P_CORE)
        add_library(${name}_core STATIC ${P_CORE})
        target_include_directories(${name}_core PUBLIC ${dir})
        target_link_libraries(${name}_core PUBLIC tavohost ${P_LIBS})
        set(core ${name}_core)
    endif()
    add_library(${name}_output STATIC ${P_OUTPUT})
    target_include_directories(${name}_output PUBLIC ${dir})
    target_link_libraries(${name}_output PUBLIC ${core} tavohost ${P_LIBS})

    add_library(${Name} MODULE ${P_PLUGIN})
    target_link_libraries(${Name} PRIVATE ${name}_output)
    set_target_properties(${Name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${TAVO_PLUGIN_DIR}
                          INSTALL_RPATH "$ORIGIN/..")
    set_property(GLOBAL APPEND PROPERTY TAVO_OUTPUT_PLUGINS ${Name})
    # Installed beside the host's libraries (lib/tavo), where tavod looks for them;
    # its README (the keys, defaults and ranges of the output) with the guides.
    install(TARGETS ${Name} LIBRARY DESTINATION lib/tavo/plugins)
    if(EXISTS ${dir}/README.md)
        install(FILES ${dir}/README.md DESTINATION share/doc/tavo/outputs RENAME ${Name}.md)
    endif()

    if(TAVO_BUILD_TESTS)
        file(GLOB tests CONFIGURE_DEPENDS ${dir}/tests/*_test.cpp)
        foreach(src ${tests})
            tavo_plugin_program_name(test ${name} ${src})
            # Labelled outputs/<program>, so that the plug-ins' tests can be picked as one.
            tavo_add_test(${test} SOURCES ${src} LIBS ${name}_output tavodcore ${CMAKE_DL_LIBS} ${P_TEST_LIBS}
                          DEPENDS ${Name} tavod LABEL outputs/${test})
            target_include_directories(${test} PRIVATE ${dir}/tests)
            target_compile_definitions(${test} PRIVATE TAVO_PLUGIN_TEST_DIR="${dir}/tests")
        endforeach()
        if(EXISTS ${dir}/tests/sample-output.json)
            set(TAVO_PLUGIN_TEST_DIR ${dir}/tests)
            configure_file(${dir}/tests/sample-output.json ${TAVO_COMPLIANCE_DIR}/${Name}.json @ONLY)
        else()
            message(SEND_ERROR "${dir}/tests/sample-output.json is missing: every output plug-in gives the "
                               "compliance suite a configuration to run")
        endif()
    endif()
    file(GLOB benches CONFIGURE_DEPENDS ${dir}/bench/*_bench.cpp)
    foreach(src ${benches})
        tavo_plugin_program_name(bench ${name} ${src})
        tavo_add_bench(${bench} ${src})
        if(TARGET ${bench})
            target_link_libraries(${bench} PRIVATE ${name}_output)
            # Header-only test helpers (a broker, a receiver) serve benchmarks too.
            target_include_directories(${bench} PRIVATE ${dir}/tests ${CMAKE_SOURCE_DIR}/tests/support)
        endif()
    endforeach()
endfunction()

# tavo_target_sources(<var> <targets...>): the sources of the targets, as absolute
# paths, for a build that compiles them again with other flags (a sanitizer).
function(tavo_target_sources var)
    set(all)
    foreach(target ${ARGN})
        get_target_property(sources ${target} SOURCES)
        get_target_property(dir ${target} SOURCE_DIR)
        foreach(s ${sources})
            if(NOT IS_ABSOLUTE ${s})
                set(s ${dir}/${s})
            endif()
            list(APPEND all ${s})
        endforeach()
    endforeach()
    set(${var} ${all} PARENT_SCOPE)
endfunction()
