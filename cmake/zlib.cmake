# zlib for the Windows programs, linked statically: QUILL_ZLIB_LIBS and QUILL_ZLIB_INCLUDE.
# Built here from zlib's own sources (scripts/fetch-zlib.sh) with the flags of Debian's native
# package, -O3 and, on x86, unaligned loads in deflate's match search: Debian's mingw package is
# built without the latter and deflates about 15 % slower per byte (more at level 6). Without the
# sources, that package's libz.a.
set(QUILL_ZLIB_SOURCE /usr/local/src/quillarent-zlib CACHE PATH "zlib's sources; the mingw package's libz.a when absent")
if(EXISTS ${QUILL_ZLIB_SOURCE}/deflate.c AND EXISTS ${QUILL_ZLIB_SOURCE}/zlib.h)
    set(quill_zlib_files adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate
        inftrees trees uncompr zutil)
    list(TRANSFORM quill_zlib_files PREPEND ${QUILL_ZLIB_SOURCE}/)
    list(TRANSFORM quill_zlib_files APPEND .c)
    add_library(quill_zlib STATIC ${quill_zlib_files})
    target_compile_options(quill_zlib PRIVATE -O3)
    target_compile_definitions(quill_zlib PRIVATE UNALIGNED_OK)
    set(QUILL_ZLIB_LIBS quill_zlib)
    set(QUILL_ZLIB_INCLUDE ${QUILL_ZLIB_SOURCE})
    message(STATUS "zlib: built from ${QUILL_ZLIB_SOURCE}")
else()
    find_library(ZLIB_STATIC NAMES libz.a REQUIRED)
    find_path(ZLIB_INCLUDE zlib.h REQUIRED)
    set(QUILL_ZLIB_LIBS ${ZLIB_STATIC})
    set(QUILL_ZLIB_INCLUDE ${ZLIB_INCLUDE})
    message(STATUS "zlib: ${ZLIB_STATIC} (run scripts/fetch-zlib.sh to build zlib's own sources)")
endif()
