# Writes RECORD, a resource script with the record of the archive ZIP that a launcher embeds: its size and
# SHA-256, as the resource KESTREL_PAYLOAD, and room for its address in the program, which only the link
# decides: the launcher's link fills it in from the linker's map (package_tool.py record-place).
# package.sh --verify compares the archive the program reads with it and tells a changed archive from the
# one built in. Only the archive's bytes go in: the same archive gives the same record in any folder.
#   cmake -DZIP=<archive> -DRECORD=<out.rc> -P payload_record.cmake
file(SIZE "${ZIP}" size)
file(SHA256 "${ZIP}" hash)
file(WRITE "${RECORD}.part" "// The embedded archive's record (cmake/payload_record.cmake).\n"
                            "KESTREL_PAYLOAD RCDATA\nBEGIN\n    \"bytes=${size}\\nsha256=${hash}\\naddress=unrecorded\\n\"\nEND\n")
file(RENAME "${RECORD}.part" "${RECORD}")
