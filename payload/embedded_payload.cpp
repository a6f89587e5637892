#include "payload/embedded_payload.h"

#include <windows.h>

#include <cstring>

// The linker's symbol at the first byte of the image this code is linked into: its headers, as mapped.
extern "C" IMAGE_DOS_HEADER __ImageBase;

const ByteArrayImage* ArchiveInImage(const void* imageBase) {
    auto* base = static_cast<const unsigned char*>(imageBase);
    auto* dos = static_cast<const IMAGE_DOS_HEADER*>(imageBase);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        // A name of 8 bytes fills its field with no terminator; a shorter one is padded with zeros.
        constexpr std::size_t kNameLength = sizeof kPayloadSectionName - 1;
        static_assert(kNameLength <= IMAGE_SIZEOF_SHORT_NAME);
        if (std::memcmp(section->Name, kPayloadSectionName, kNameLength) != 0 ||
            (kNameLength < IMAGE_SIZEOF_SHORT_NAME && section->Name[kNameLength] != 0))
            continue;
        const DWORD flags = section->Characteristics;
        if (!(flags & IMAGE_SCN_CNT_INITIALIZED_DATA) ||
            (flags & (IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE)))
            return nullptr;
        // Only the bytes both mapped and from the file are the archive's: the loader maps the section's
        // size in memory, and zeros whatever of it the file does not hold.
        const DWORD mapped = section->Misc.VirtualSize ? section->Misc.VirtualSize : section->SizeOfRawData;
        const DWORD size = mapped < section->SizeOfRawData ? mapped : section->SizeOfRawData;
        if (size < sizeof(ByteArrayImage))
            return nullptr;
        auto* archive = reinterpret_cast<const ByteArrayImage*>(base + section->VirtualAddress);
        if (archive->dimensions != 1 || archive->length <= 0 ||
            static_cast<DWORD>(archive->length) > size - sizeof(ByteArrayImage))
            return nullptr;
        return archive;
    }
    return nullptr;
}

const ByteArrayImage* EmbeddedArchive() { return ArchiveInImage(&__ImageBase); }
