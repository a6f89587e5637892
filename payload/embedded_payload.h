// payload/embedded_payload.h: the application archive the launcher carries, as one read-only constant
// with a byte array's image (dimension count 1, length, then the archive's bytes, its first byte the
// first local file header, its last 22 bytes the end-of-central-directory record).
// It begins the program's image section ".payload", which the packer fills (tools/launcher_image.h) and
// the program finds by name in its own section table, so that the packer may lay out the image's last
// sections freely. The section is read-only data, inside the constant range: releasing the archive does
// nothing.
#pragma once
#include "base/value.h"

inline constexpr char kPayloadSectionName[] = ".payload";

// The archive in the image whose headers begin at `imageBase` (a module as the loader maps it): the byte
// array at the start of its section ".payload". Null when there is none to read: no such section, one
// that is not read-only initialised data, a dimension count other than 1, length 0 (the prebuilt
// launcher, before packing), or a length that runs past the section.
const ByteArrayImage* ArchiveInImage(const void* imageBase);

// The archive of the program's own image (the module this code is linked into), as ArchiveInImage.
const ByteArrayImage* EmbeddedArchive();
