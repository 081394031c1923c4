# wendle_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One QtTest executable per test case, registered with ctest. The label
# "threaded" marks the tests that the ThreadSanitizer build runs.
function(wendle_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_compile_options(${name} PRIVATE ${WENDLE_OWN_FLAGS})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;WENDLE_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
        TIMEOUT 300)
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
