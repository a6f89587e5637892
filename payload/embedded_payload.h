// payload/embedded_payload.h: the application archive the launcher carries, as one read-only constant
// with a byte array's image (dimension count 1, length, then the archive's bytes, its first byte the
// first local file header, its last 22 bytes the end-of-central-directory record).
// It lies in the program's read-only data, so releasing it does nothing. Placed by the library that
// kestrel_add_payload_library builds from a ZIP file (payload_archive: the configured archive).
#pragma once
#include "base/value.h"

extern "C" const ByteArrayImage PayloadArchive;
