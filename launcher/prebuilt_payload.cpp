// The prebuilt launcher's archive section: the empty byte array's header alone (dimension count 1,
// length 0), which the packer replaces with the application's archive (tools/launcher_image.h). Unpacked,
// the launcher finds no archive and ends with the fatal report. The link puts the section last
// (cmake/payload_last.ld), so that the packer can replace it without moving anything else.
#include "base/value.h"

extern const ByteArrayImage kPrebuiltPayload;
[[gnu::section(".payload"), gnu::used]] const ByteArrayImage kPrebuiltPayload = {1, 0};
