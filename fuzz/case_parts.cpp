// fuzz/case_parts.cpp: entries, filler data and fields for the fuzzer's cases.
#include "fuzz/case_parts.h"

#include <cstring>

namespace fuzz {

std::string Filler(Random& random, std::size_t length, bool compressible, const char* words, std::size_t stride) {
    const std::size_t count = std::strlen(words);
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        text[i] = compressible ? words[(i * stride + random.Below(3)) % count] : static_cast<char>(random.Below(256));
    return text;
}

zipwriter::Entry File(const std::string& name, const std::string& data) {
    return zipwriter::MakeEntry(name, data, 1700000000);
}

zipwriter::Entry Folder(const std::string& name) { return zipwriter::MakeEntry(name, "", 1700000000, true); }

std::uint64_t GetField(const std::string& bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void SetField(std::string& bytes, std::size_t at, int width, std::uint64_t value) {
    for (int i = 0; i < width && at + i < bytes.size(); ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace fuzz
