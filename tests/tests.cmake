# The Windows test suite: GoogleTest executables and shell-script tests, all run under Wine.

set(QUILL_TESTDATA ${CMAKE_BINARY_DIR}/testdata)
string(REPLACE "/" "\\" QUILL_TESTDATA_WIN "Z:${QUILL_TESTDATA}")
# One variable only: gtest_discover_tests flattens lists in its PROPERTIES. The prefix is baked
# into the wine-run wrapper.
set(QUILL_TEST_ENV "QUILL_TESTDATA=${QUILL_TESTDATA_WIN}")
# The programs under test see the build tree through Z:, and MAX_PATH (260) bounds many of the paths
# they take (module names, file lists): a checkout too deep leaves too little room for the names
# below the tree (up to about 60 characters).
string(LENGTH "${QUILL_TESTDATA_WIN}" QUILL_TESTDATA_WIN_LENGTH)
if(QUILL_TESTDATA_WIN_LENGTH GREATER 200)
    message(WARNING "The build tree's Windows path ${QUILL_TESTDATA_WIN} has ${QUILL_TESTDATA_WIN_LENGTH} "
                    "characters: paths below it may pass MAX_PATH (260) and the Windows tests fail. "
                    "Build in a shorter folder.")
endif()

file(GLOB TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(quill_test_support STATIC ${TEST_SUPPORT_SOURCES})
target_link_libraries(quill_test_support PUBLIC quill_engine gtest gmock)
target_include_directories(quill_test_support PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(quill_test_support PRIVATE ${QUILL_WARNINGS})

# Test certificates and keys, made by OpenSSL and imported into the test prefix's "MY" store.
add_test(NAME setup.testcerts
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/make-test-certs.sh ${QUILL_TESTDATA}
                 $<TARGET_FILE:quill> ${CMAKE_BINARY_DIR}/wine-run)
set_tests_properties(setup.testcerts PROPERTIES FIXTURES_SETUP testcerts TIMEOUT 600)

# The directory tests' own OpenLDAP server, started once the certificates exist and stopped by its
# pid after the last test that needs it.
set(QUILL_DIRECTORY_SERVER ${CMAKE_SOURCE_DIR}/tests/packer_ui/helpers/directory-server.sh)
add_test(NAME setup.directory COMMAND bash ${QUILL_DIRECTORY_SERVER} start ${QUILL_TESTDATA})
set_tests_properties(setup.directory PROPERTIES FIXTURES_SETUP directory FIXTURES_REQUIRED testcerts TIMEOUT 300)
add_test(NAME cleanup.directory COMMAND bash ${QUILL_DIRECTORY_SERVER} stop ${QUILL_TESTDATA})
set_tests_properties(cleanup.directory PROPERTIES FIXTURES_CLEANUP directory TIMEOUT 60)

# GoogleTest programs run through a wrapper that starts a run again only when Wine's loader never
# got it going (see cmake/gtest-run.sh).
set(QUILL_GTEST_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/gtest-run.sh ${CMAKE_BINARY_DIR}/wine-run)

# One GoogleTest executable per subsystem folder under tests/. FIXTURE names what its tests need
# (default: the test certificates).
function(quill_test_executable name)
    cmake_parse_arguments(ARG "" "FIXTURE" "" ${ARGN})
    if(NOT ARG_FIXTURE)
        set(ARG_FIXTURE testcerts)
    endif()
    set(sources)
    foreach(dir IN LISTS ARG_UNPARSED_ARGUMENTS)
        file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
        list(APPEND sources ${found})
    endforeach()
    if(NOT sources)
        return()
    endif()
    add_executable(${name} ${sources} ${QUILL_RESOURCES})
    target_link_libraries(${name} PRIVATE quill_test_support ${QUILL_STATIC_LINK})
    target_compile_options(${name} PRIVATE ${QUILL_WARNINGS})
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${QUILL_GTEST_EMULATOR}")
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES ENVIRONMENT "${QUILL_TEST_ENV}" FIXTURES_REQUIRED ${ARG_FIXTURE} TIMEOUT 300)
endfunction()

quill_test_executable(format_tests format format/service)
# The packer window's tests include the directory search, against the suite's own slapd.
quill_test_executable(pack_tests pack packer_ui FIXTURE directory)
quill_test_executable(unpack_tests unpack)
quill_test_executable(tool_tests tools)
# The library itself, registered and used through COM and rundll32.
quill_test_executable(shell_tests shell)
if(TARGET shell_tests)
    add_dependencies(shell_tests Quillarent)
    target_compile_definitions(shell_tests PRIVATE "QUILLARENT_DLL=\"Z:$<TARGET_FILE:Quillarent>\"")
endif()
# The front end's own pieces under test (quill.exe itself is run by the shell tests).
if(TARGET tool_tests)
    target_sources(tool_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/arguments.cpp ${CMAKE_SOURCE_DIR}/tools/console.cpp
                   ${CMAKE_SOURCE_DIR}/tools/console_progress.cpp ${CMAKE_SOURCE_DIR}/tools/settings_values.cpp
                   ${CMAKE_SOURCE_DIR}/tools/unpack_report.cpp)
endif()

# Shell-script tests: interop with OpenSSL and gpgsm, the command-line front end and the installer.
# Exit status 77 is a skip (a peer that is not installed).
file(GLOB SCRIPT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/interop/*.sh ${CMAKE_SOURCE_DIR}/tests/tools/*.sh
     ${CMAKE_SOURCE_DIR}/tests/installer/*.sh)
foreach(script IN LISTS SCRIPT_TESTS)
    get_filename_component(stem ${script} NAME_WE)
    get_filename_component(dir ${script} DIRECTORY)
    get_filename_component(group ${dir} NAME)
    add_test(NAME ${group}.${stem} COMMAND bash ${script})
    set_tests_properties(${group}.${stem} PROPERTIES
        ENVIRONMENT "${QUILL_TEST_ENV};QUILL_EXE=$<TARGET_FILE:quill>;QUILL_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run;QUILL_SOURCE_DIR=${CMAKE_SOURCE_DIR};QUILL_BUILD_DIR=${CMAKE_BINARY_DIR};QUILL_TESTDATA_UNIX=${QUILL_TESTDATA}"
        FIXTURES_REQUIRED testcerts TIMEOUT 900 SKIP_RETURN_CODE 77)
endforeach()

# The help file as built: its contents, links and control popups. It needs no Wine and no certificates.
add_test(NAME help.help_file COMMAND bash ${CMAKE_SOURCE_DIR}/tests/help/help_file.sh)
set_tests_properties(help.help_file PROPERTIES
    ENVIRONMENT "QUILL_SOURCE_DIR=${CMAKE_SOURCE_DIR};QUILL_BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 120)

# The self-decoding program: unit tests over its own sources with its English resources, and runs
# of the shipped 32-bit program on payloads the envelope writer and quill pack make.
file(GLOB QUENDRIX_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/self_decoding/*.cpp)
if(QUENDRIX_TEST_SOURCES AND TARGET quendrix_core)
    add_executable(quendrix_tests ${QUENDRIX_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/resources/quendrix.rc)
    target_link_libraries(quendrix_tests PRIVATE quendrix_core quill_test_support ${QUILL_STATIC_LINK})
    target_compile_options(quendrix_tests PRIVATE ${QUILL_WARNINGS})
    add_dependencies(quendrix_tests quendrix32 quill)
    set_target_properties(quendrix_tests PROPERTIES CROSSCOMPILING_EMULATOR "${QUILL_GTEST_EMULATOR}")
    target_compile_definitions(quendrix_tests PRIVATE
        "QUENDRIX_SHIPPED=\"Z:${CMAKE_BINARY_DIR}/Quendrix.exe\"" "QUILL_PROGRAM=\"Z:$<TARGET_FILE:quill>\"")
    gtest_discover_tests(quendrix_tests
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES ENVIRONMENT "${QUILL_TEST_ENV}" FIXTURES_REQUIRED testcerts TIMEOUT 300)
endif()

# Holds Wine's desktop open during a test run (started by scripts/test.sh).
add_executable(desktop_keepalive WIN32 ${CMAKE_SOURCE_DIR}/tests/harness/desktop_keepalive.cpp)
target_link_options(desktop_keepalive PRIVATE -municode ${QUILL_STATIC_LINK})
target_compile_options(desktop_keepalive PRIVATE ${QUILL_WARNINGS})

# Another program on the clipboard, for the packer window's clipboard tests.
add_executable(clipboard_peer ${CMAKE_SOURCE_DIR}/tests/packer_ui/helpers/clipboard_peer.cpp)
target_link_options(clipboard_peer PRIVATE -municode ${QUILL_STATIC_LINK})
target_compile_options(clipboard_peer PRIVATE ${QUILL_WARNINGS})
target_link_libraries(clipboard_peer PRIVATE shell32 user32)
if(TARGET pack_tests)
    add_dependencies(pack_tests clipboard_peer)
    target_link_libraries(pack_tests PRIVATE ws2_32)  # the directory test's relay
    target_compile_definitions(pack_tests PRIVATE "CLIPBOARD_PEER=\"Z:$<TARGET_FILE:clipboard_peer>\"")
endif()

# Presses Ctrl+C in its console for the program it starts (the Ctrl+C shell test).
add_executable(console_ctrl_c ${CMAKE_SOURCE_DIR}/tests/tools/helpers/console_ctrl_c.cpp)
target_link_options(console_ctrl_c PRIVATE -municode ${QUILL_STATIC_LINK})
target_compile_options(console_ctrl_c PRIVATE ${QUILL_WARNINGS})
