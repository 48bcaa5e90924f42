include(GoogleTest)

# tandalo_add_tests(<name> SOURCES ... LIBS ... [CONCURRENCY])
# One test program per folder. CONCURRENCY labels its tests so the ThreadSanitizer build runs them.
function(tandalo_add_tests name)
    cmake_parse_arguments(ARG "CONCURRENCY" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    # gtest_discover_tests flattens a list given as one property value, so each program gets one label.
    set(label unit)
    if(ARG_CONCURRENCY)
        set(label concurrency)
        # The ThreadSanitizer run builds only these (the concurrency-tests target).
        set_property(GLOBAL APPEND PROPERTY TANDALO_CONCURRENCY_TESTS ${name})
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} TIMEOUT 300)
endfunction()

# tandalo_add_library(<name> SOURCES ... [PUBLIC_LIBS ...])
function(tandalo_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} Threads::Threads PRIVATE ${ARG_PRIVATE_LIBS})
endfunction()
