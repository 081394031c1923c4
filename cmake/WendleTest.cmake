# wendle_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [JACK])
# One QtTest executable per test case, registered with ctest. The label
# "threaded" marks the tests that the ThreadSanitizer build runs.
#
# JACK marks a test that starts JACK servers (itself or through a script).
# Such a test runs with a /dev/shm of its own (tests/support/private-shm.sh),
# so that any number of them run side by side. Where this machine does not
# allow that, they take turns instead.

option(WENDLE_PRIVATE_SHM "Run the tests that start JACK servers each with a /dev/shm of its own" ON)
set(WENDLE_PRIVATE_SHM_SCRIPT "${PROJECT_SOURCE_DIR}/tests/support/private-shm.sh")
set(WENDLE_JACK_ISOLATED FALSE)
if(WENDLE_PRIVATE_SHM)
    execute_process(COMMAND sh "${WENDLE_PRIVATE_SHM_SCRIPT}" --check
                    RESULT_VARIABLE _wendle_shm_result OUTPUT_QUIET ERROR_VARIABLE _wendle_shm_error)
    if(_wendle_shm_result EQUAL 0)
        set(WENDLE_JACK_ISOLATED TRUE)
        message(STATUS "JACK tests: each with a /dev/shm of its own; they run in parallel")
    else()
        string(STRIP "${_wendle_shm_error}" _wendle_shm_error)
        message(WARNING "JACK tests: no private /dev/shm on this machine (${_wendle_shm_error}); "
                        "they take turns (ctest RESOURCE_LOCK jack). Run as root with unshare from util-linux "
                        "to run them in parallel.")
    endif()
else()
    message(STATUS "JACK tests: WENDLE_PRIVATE_SHM is off; they take turns (ctest RESOURCE_LOCK jack)")
endif()

function(wendle_add_test name)
    cmake_parse_arguments(T "JACK" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_compile_options(${name} PRIVATE ${WENDLE_OWN_FLAGS})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    if(T_JACK AND WENDLE_JACK_ISOLATED)
        add_test(NAME ${name} COMMAND sh "${WENDLE_PRIVATE_SHM_SCRIPT}" "$<TARGET_FILE:${name}>")
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;WENDLE_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
        TIMEOUT 300)
    if(T_JACK AND NOT WENDLE_JACK_ISOLATED)
        # JACK2 clients of different servers collide in a shared /dev/shm.
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK jack)
    endif()
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
