# The Windows deliverables, the command-line front end and the test suite run under Wine.

# Every program must need nothing but Windows' own DLLs.
set(QUILL_STATIC_LINK -static -static-libgcc -static-libstdc++)
add_compile_definitions(UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
enable_language(RC)

include(${CMAKE_SOURCE_DIR}/cmake/zlib.cmake)

# The wrapper that runs a program inside this build tree's own Wine prefix.
set(QUILL_TEST_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

set(QUILL_SYSTEM_LIBS crypt32 advapi32 cryptui shell32 ole32 oleaut32 uuid comctl32 comdlg32 shlwapi user32 gdi32 version wldap32 ws2_32)

# Platform side of the format subsystem: the cryptographic service, texts and display names.
file(GLOB FORMAT_SERVICE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/format/service/*.cpp)
add_library(quill_format STATIC ${FORMAT_SERVICE_SOURCES})
target_link_libraries(quill_format PUBLIC quill_format_bytes ${QUILL_SYSTEM_LIBS})
target_link_libraries(quill_format PUBLIC bcrypt)  # AES-ECB key stream of the GCM stream
target_compile_options(quill_format PRIVATE ${QUILL_WARNINGS})

# The envelope reading of the library and the self-decoding program: no call in it has a wide and
# an ANSI form, so one build serves both.
file(GLOB READER_CORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/unpack/core/*.cpp)
add_library(quill_reader_core STATIC ${READER_CORE_SOURCES})
target_link_libraries(quill_reader_core PUBLIC quill_format)
target_compile_options(quill_reader_core PRIVATE ${QUILL_WARNINGS})

# The engines shared by the DLL, the command-line front end and the tests.
file(GLOB ENGINE_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/pack/*.cpp ${CMAKE_SOURCE_DIR}/unpack/*.cpp ${CMAKE_SOURCE_DIR}/packer_ui/*.cpp)
add_library(quill_engine STATIC ${ENGINE_SOURCES})
target_include_directories(quill_engine PUBLIC ${QUILL_ZLIB_INCLUDE})
target_link_libraries(quill_engine PUBLIC quill_reader_core quill_format ${QUILL_ZLIB_LIBS})
target_compile_options(quill_engine PRIVATE ${QUILL_WARNINGS})

set(QUILL_RESOURCES ${CMAKE_SOURCE_DIR}/resources/quillarent.rc)
# The resource compiler's dependency scan sees neither the included script nor the files it embeds.
file(GLOB QUILL_RESOURCE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*.bmp
     ${CMAKE_SOURCE_DIR}/resources/*.ico ${CMAKE_SOURCE_DIR}/resources/*.avi)
file(GLOB QUILL_INCLUDED_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*.rc)
list(REMOVE_ITEM QUILL_INCLUDED_SCRIPTS ${QUILL_RESOURCES} ${CMAKE_SOURCE_DIR}/resources/quendrix.rc)
set_source_files_properties(${QUILL_RESOURCES} PROPERTIES
    OBJECT_DEPENDS "${QUILL_INCLUDED_SCRIPTS};${QUILL_RESOURCE_FILES}")

# Quillarent.dll
file(GLOB SHELL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/shell/*.cpp)
add_library(Quillarent SHARED ${SHELL_SOURCES} ${QUILL_RESOURCES} ${CMAKE_SOURCE_DIR}/shell/Quillarent.def)
set_target_properties(Quillarent PROPERTIES PREFIX "" OUTPUT_NAME Quillarent)
target_link_libraries(Quillarent PRIVATE quill_engine ${QUILL_STATIC_LINK})
target_compile_options(Quillarent PRIVATE ${QUILL_WARNINGS})

# quill.exe, the command-line front end
file(GLOB TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*.cpp)
add_executable(quill ${TOOL_SOURCES} ${QUILL_RESOURCES})
target_link_libraries(quill PRIVATE quill_engine ${QUILL_STATIC_LINK})
target_link_options(quill PRIVATE -municode)
target_compile_options(quill PRIVATE ${QUILL_WARNINGS})

# The benchmark's measuring program.
include(${CMAKE_SOURCE_DIR}/bench/bench.cmake)

# The self-decoding program: the shipped 32-bit Quendrix.exe as a project of its own with the i686
# toolchain (copied beside the DLL), and a 64-bit test variant of the same sources.
include(ExternalProject)
ExternalProject_Add(quendrix32
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/self_decoding
    BINARY_DIR ${CMAKE_BINARY_DIR}/quendrix32
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=Release
               -DQUILL_ZLIB_SOURCE=${QUILL_ZLIB_SOURCE}
    INSTALL_COMMAND ${CMAKE_COMMAND} -E copy_if_different <BINARY_DIR>/Quendrix.exe ${CMAKE_BINARY_DIR}/Quendrix.exe
    BUILD_ALWAYS ON)
add_subdirectory(${CMAKE_SOURCE_DIR}/self_decoding ${CMAKE_BINARY_DIR}/self_decoding)

include(${CMAKE_SOURCE_DIR}/cmake/help.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/installer.cmake)
include(${CMAKE_SOURCE_DIR}/tests/tests.cmake)
