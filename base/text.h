// base/text.h: Text, the program's one owning string type.
// A Text holds bytes in the ANSI code page (GBK on the systems the launcher is made for), allocated
// from the frame's allocator with exactly its length plus the terminator. An absent Text reads as "".
#pragma once
#include <cstddef>
#include <cstdint>

class Text {
public:
    Text() = default;  // absent: takes no storage and reads as ""
    ~Text();
    Text(Text&& other) noexcept;
    Text& operator=(Text&& other) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // A new text holding `length` bytes from `bytes` (which may hold no zero), plus the terminator.
    static Text FromBytes(const char* bytes, std::size_t length);
    // A new text holding a copy of the zero-terminated `s`; null counts as "". Always takes storage.
    static Text Copy(const char* s);
    // A new text of `length` zero bytes plus the terminator, for the caller to fill through data().
    static Text Zeroed(std::size_t length);

    const char* c_str() const { return bytes_ ? bytes_ : ""; }  // never null
    char* data() { return bytes_; }                             // null when absent
    std::size_t size() const { return length_; }
    [[nodiscard]] bool empty() const { return length_ == 0; }
    [[nodiscard]] bool absent() const { return bytes_ == nullptr; }

    // Hands the block over to the caller, who releases it with Release(); the text becomes absent.
    char* release();

private:
    char* bytes_ = nullptr;
    std::size_t length_ = 0;
};

// A new Text holding `first` and then `second`, of exactly their summed length plus the terminator.
// Null counts as "".
Text JoinText(const char* first, const char* second);

// Double-byte rules of the ANSI code page. A trail byte can be 0x5C, the backslash: "\xD5\x5C" is one
// character, so separators are found by walking characters, never with strrchr.
[[nodiscard]] bool IsLeadByte(unsigned char byte);
// The byte after the character that starts at `p` (one or two bytes; a lead byte before the
// terminator counts alone).
const char* NextChar(const char* p);
// The last backslash of `s` found character by character, or null.
const char* FindLastBackslash(const char* s);
// The start of the last character of `s`, or null when `s` is empty.
const char* LastChar(const char* s);
