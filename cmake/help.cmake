# Help\Quillarent.chm beside Quillarent.dll: compiled from resources/help with Free Pascal's chmcmd
# (Debian package fp-utils; scripts/install-deps.sh installs it).
find_program(CHMCMD chmcmd REQUIRED DOC "CHM compiler (Debian package fp-utils)")
find_program(ICONV iconv REQUIRED)

set(QUILL_HELP_FILE ${CMAKE_BINARY_DIR}/Help/Quillarent.chm)
file(GLOB QUILL_HELP_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/help/*)
add_custom_command(OUTPUT ${QUILL_HELP_FILE}
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/make-help.sh ${CMAKE_SOURCE_DIR}/resources/help
            ${CMAKE_BINARY_DIR}/help-staging ${QUILL_HELP_FILE}
    DEPENDS ${QUILL_HELP_SOURCES} ${CMAKE_SOURCE_DIR}/cmake/make-help.sh
    COMMENT "Building Help/Quillarent.chm"
    VERBATIM)
add_custom_target(help_file ALL DEPENDS ${QUILL_HELP_FILE})
