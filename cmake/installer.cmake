# Quillarent-setup.exe: the NSIS installer of the 64-bit programs (installer/quillarent.nsi).
find_program(MAKENSIS makensis REQUIRED DOC "NSIS compiler (Debian package nsis; scripts/install-deps.sh installs it)")

# One version for the programs and their installer: the one in the resource script.
file(STRINGS ${CMAKE_SOURCE_DIR}/resources/quillarent.rc QUILL_VERSION_LINE REGEX "VALUE \"ProductVersion\"")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" QUILL_VERSION "${QUILL_VERSION_LINE}")

set(QUILL_INSTALLER ${CMAKE_BINARY_DIR}/Quillarent-setup.exe)
set(QUILL_INSTALLER_DEFINES -DQUILL_DLL=$<TARGET_FILE:Quillarent> -DQUILL_EXE=$<TARGET_FILE:quill>
    -DQUENDRIX_EXE=${CMAKE_BINARY_DIR}/Quendrix.exe -DQUILL_VERSION=${QUILL_VERSION} -DOUTFILE=${QUILL_INSTALLER})
# The help file the build compiles (cmake/help.cmake) is installed as Help\Quillarent.chm.
list(APPEND QUILL_INSTALLER_DEFINES -DQUILL_HELP=${QUILL_HELP_FILE})
add_custom_command(OUTPUT ${QUILL_INSTALLER}
    COMMAND ${MAKENSIS} -V2 -WX -INPUTCHARSET UTF8 ${QUILL_INSTALLER_DEFINES} ${CMAKE_SOURCE_DIR}/installer/quillarent.nsi
    DEPENDS ${CMAKE_SOURCE_DIR}/installer/quillarent.nsi ${CMAKE_SOURCE_DIR}/resources/quillarent.ico
            Quillarent quill ${CMAKE_BINARY_DIR}/Quendrix.exe ${QUILL_HELP_FILE}
    COMMENT "Building Quillarent-setup.exe"
    VERBATIM)
add_custom_target(installer ALL DEPENDS ${QUILL_INSTALLER})
add_dependencies(installer quendrix32 help_file)
