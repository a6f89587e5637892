# minizip's unzip interface, built from Debian's zlib sources with Debian's MinGW zlib, and the
# archive entry reader with ZIP extraction on top of it. No minizip type leaves archive_reader.cpp.
add_library(minizip STATIC ${MINIZIP_DIR}/unzip.c ${MINIZIP_DIR}/ioapi.c)
target_include_directories(minizip PUBLIC ${MINIZIP_DIR})
# No decryption exists: encrypted entries are refused by the reader.
target_compile_definitions(minizip PUBLIC NOUNCRYPT)
target_compile_options(minizip PRIVATE -w)
target_link_libraries(minizip PUBLIC /usr/i686-w64-mingw32/lib/libz.a)

add_library(payload_archive_reader STATIC archive_reader.cpp entry_names.cpp zip_component.cpp)
target_link_libraries(payload_archive_reader PUBLIC base PRIVATE minizip)
