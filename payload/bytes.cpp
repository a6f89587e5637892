#include "payload/bytes.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "base/fatal.h"
#include "base/owners.h"

namespace {

// One allocation of length + 8 bytes, header (1, length) then the bytes copied in one block.
ByteArray CopyOf(const void* bytes, std::int64_t length) {
    if (length <= 0)
        return ByteArray();
    // A length the image's 32-bit field cannot hold cannot be allocated either.
    if (length > INT32_MAX - 8)
        ReportAllocationFailure(static_cast<std::size_t>(-1));
    ByteArray copy = ByteArray::Allocate(static_cast<std::int32_t>(length));
    std::memcpy(copy.bytes(), bytes, static_cast<std::size_t>(length));
    return copy;
}

// Each non-empty array in one WriteFile call; false at the first failing or short write. A short
// write succeeds with fewer bytes written and leaves the last error as it was: a disk file takes fewer
// only when its volume has no room for more (Wine 8 answers so on a full drive), so it says
// ERROR_DISK_FULL.
bool WriteArrays(HANDLE file, const ByteArrayImage* const* arrays, int count) {
    for (int i = 0; i < count; ++i) {
        const ByteArrayImage* array = arrays[i] ? arrays[i] : &EmptyByteArray;
        if (array->length <= 0)
            continue;
        DWORD written = 0;
        auto length = static_cast<DWORD>(array->length);
        if (!WriteFile(file, array->bytes(), length, &written, nullptr))
            return false;
        if (written != length) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
    }
    return true;
}

}  // namespace

ByteArray ToByteArray(const Value& value) {
    switch (value.kind()) {
    case ValueKind::Bytes: {
        const ByteArrayImage* array = value.asBytes();
        return CopyOf(array->bytes(), array->length);
    }
    case ValueKind::Text: {
        const char* text = value.asText();
        return CopyOf(text, static_cast<std::int64_t>(std::strlen(text)));
    }
    case ValueKind::Byte:
    case ValueKind::Short:
    case ValueKind::Int:
    case ValueKind::Long:
    case ValueKind::Bool: {
        // The low bytes of the 64-bit integer are the value's own little-endian bytes.
        std::int64_t integer = value.asInteger();
        return CopyOf(&integer, Value::WidthOf(value.kind()));
    }
    case ValueKind::Float: {
        float single = value.asFloat();
        return CopyOf(&single, sizeof single);
    }
    case ValueKind::Double:
    case ValueKind::DateTime: {
        double floating = value.asFloating();
        return CopyOf(&floating, sizeof floating);
    }
    case ValueKind::NumericArray: {
        int width = Value::WidthOf(value.elementKind());
        if (width == 0 || value.elements() == nullptr)
            return ByteArray();
        return CopyOf(value.elements(), static_cast<std::int64_t>(value.elementCount()) * width);
    }
    default:
        return ByteArray();
    }
}

bool WriteBytesToFile(const char* path, const ByteArrayImage* const* arrays, int count) {
    if (path == nullptr || path[0] == '\0')
        return false;
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, TRUE};
    FileHandle file{CreateFileA(path, GENERIC_WRITE, 0, &security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file || !WriteArrays(file.get(), arrays, count))
        return false;  // the owner closes the handle; what was written stays
    return file.close();
}

bool WriteBytesToFile(const char* path, std::initializer_list<const ByteArrayImage*> arrays) {
    return WriteBytesToFile(path, arrays.begin(), static_cast<int>(arrays.size()));
}

ChildHandle WriteBytesToChild(const HeldFolder& folder, const wchar_t* name, const ByteArrayImage* const* arrays,
                              int count) {
    if (!folder || name == nullptr || name[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ChildHandle{};
    }
    // Readable through the same handle, so that what was written is what is read back; others may read
    // it too, but nobody may write it, rename it or delete it while the handle is open.
    ChildHandle file =
        CreateFreshChildFile(folder, name, true, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
    if (!file || !WriteArrays(file.get(), arrays, count)) {
        const DWORD error = GetLastError();
        file.reset();
        SetLastError(error);
        return ChildHandle{};
    }
    return file;
}

ChildHandle WriteBytesToChild(const HeldFolder& folder, const wchar_t* name,
                              std::initializer_list<const ByteArrayImage*> arrays) {
    return WriteBytesToChild(folder, name, arrays.begin(), static_cast<int>(arrays.size()));
}
