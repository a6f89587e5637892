#include "base/text.h"

#include <windows.h>

#include <cstring>
#include <utility>

#include "base/memory.h"

Text::~Text() { Release(bytes_); }

Text::Text(Text&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), length_(std::exchange(other.length_, 0)) {}

Text& Text::operator=(Text&& other) noexcept {
    if (this != &other) {
        Release(bytes_);  // setting a text releases its old value first
        bytes_ = std::exchange(other.bytes_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Text Text::FromBytes(const char* bytes, std::size_t length) {
    Text t;
    t.bytes_ = static_cast<char*>(Allocate(length + 1));
    if (length)
        std::memcpy(t.bytes_, bytes, length);
    t.bytes_[length] = '\0';
    t.length_ = length;
    return t;
}

Text Text::Copy(const char* s) {
    if (s == nullptr)
        s = "";
    return FromBytes(s, std::strlen(s));
}

Text Text::Zeroed(std::size_t length) {
    Text t;
    t.bytes_ = static_cast<char*>(Allocate(length + 1));
    std::memset(t.bytes_, 0, length + 1);
    t.length_ = length;
    return t;
}

char* Text::release() {
    char* p = bytes_;
    bytes_ = nullptr;
    length_ = 0;
    return p;
}

Text JoinText(const char* first, const char* second) {
    if (first == nullptr)
        first = "";
    if (second == nullptr)
        second = "";
    std::size_t a = std::strlen(first), b = std::strlen(second);
    Text joined = Text::Zeroed(a + b);
    std::memcpy(joined.data(), first, a);
    std::memcpy(joined.data() + a, second, b);
    return joined;
}

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

const char* NextChar(const char* p) {
    if (*p == '\0')
        return p;
    if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0')
        return p + 2;
    return p + 1;
}

const char* FindLastBackslash(const char* s) {
    const char* found = nullptr;
    for (const char* p = s; *p; p = NextChar(p))
        if (*p == '\\')
            found = p;
    return found;
}

const char* LastChar(const char* s) {
    const char* last = nullptr;
    for (const char* p = s; *p; p = NextChar(p))
        last = p;
    return last;
}
