# platform_limit.exe: the platform's own cipher, hash and zlib speed for bench/run.sh.
add_executable(platform_limit ${CMAKE_SOURCE_DIR}/bench/platform_limit.cpp)
target_link_libraries(platform_limit PRIVATE quill_engine ${QUILL_STATIC_LINK})
target_link_options(platform_limit PRIVATE -municode)
target_compile_options(platform_limit PRIVATE ${QUILL_WARNINGS})
