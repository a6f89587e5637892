// base/text.h: the program's two owning text types, and the one way a text crosses between them.
// - Text holds bytes in the ANSI code page (GBK on the systems the launcher is made for): paths and
//   names as the program's routines take and give them, and as the system's ANSI services read them.
// - WideText holds UTF-16, names as they are on disk: for the work below held folders
//   (base/held_folder.h), where no code page may stand between the name on disk and ours, since a code
//   page spells some names with a look-alike ("\" for a fullwidth backslash) or not at all.
// Both come from the frame's allocator with exactly their length plus the terminator, and an absent
// one reads as "". A name crosses from one to the other once, where it enters: WideFromAnsi, AnsiFromWide.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/memory.h"

// What both text types are: `Char`s from the allocator, zero-terminated, of exactly their length;
// moved, never copied.
template <typename Char>
class OwnedChars {
public:
    OwnedChars() = default;  // absent: takes no storage and reads as ""
    ~OwnedChars() { Release(chars_); }
    OwnedChars(OwnedChars&& other) noexcept
        : chars_(std::exchange(other.chars_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    OwnedChars& operator=(OwnedChars&& other) noexcept {
        if (this != &other) {
            Release(chars_);  // setting a text releases its old value first
            chars_ = std::exchange(other.chars_, nullptr);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    OwnedChars(const OwnedChars&) = delete;
    OwnedChars& operator=(const OwnedChars&) = delete;

    const Char* c_str() const { return chars_ ? chars_ : kNone; }  // never null
    Char* data() { return chars_; }                                // null when absent
    std::size_t size() const { return length_; }
    [[nodiscard]] bool empty() const { return length_ == 0; }
    [[nodiscard]] bool absent() const { return chars_ == nullptr; }

    // Hands the block over to the caller, who releases it with Release(); the text becomes absent.
    [[nodiscard]] Char* release() {
        length_ = 0;
        return std::exchange(chars_, nullptr);
    }

protected:
    // Takes `length` characters plus the terminator; copies them from `chars`, or zeroes them when it is null.
    void Take(const Char* chars, std::size_t length) {
        Char* block = static_cast<Char*>(Allocate((length + 1) * sizeof(Char)));
        if (chars && length)
            std::memcpy(block, chars, length * sizeof(Char));
        else
            std::memset(block, 0, length * sizeof(Char));
        block[length] = Char{};
        Release(std::exchange(chars_, block));
        length_ = length;
    }

private:
    static constexpr Char kNone[1] = {};
    Char* chars_ = nullptr;
    std::size_t length_ = 0;
};

class Text : public OwnedChars<char> {
public:
    // A new text holding `length` bytes from `bytes` (which may hold no zero), plus the terminator.
    static Text FromBytes(const char* bytes, std::size_t length);
    // A new text holding a copy of the zero-terminated `s`; null counts as "". Always takes storage.
    static Text Copy(const char* s);
    // A new text of `length` zero bytes plus the terminator, for the caller to fill through data().
    static Text Zeroed(std::size_t length);
};

class WideText : public OwnedChars<wchar_t> {
public:
    // A new text holding `length` characters from `chars`, plus the terminator.
    static WideText FromChars(const wchar_t* chars, std::size_t length);
    // A new text of `length` zero characters plus the terminator, for the caller to fill through data().
    static WideText Zeroed(std::size_t length);
};

// `ansi` in UTF-16; absent, with ERROR_NO_UNICODE_TRANSLATION, when it is no text of the ANSI code page
// (a lead byte without its trail byte). Null and "" give an empty, present text.
WideText WideFromAnsi(const char* ansi);

// What AnsiFromWide does with a character the ANSI code page has no exact spelling for. It never
// takes a best-fit look-alike ("\" for a fullwidth backslash, "l" for "ł"), which would name
// something else.
enum class Unspellable {
    Fails,       // the whole text fails: a name that must name exactly what it names
    BecomesMark  // the character comes out as "?": a text for people to read, or to measure
};
// `wide` spelt in the ANSI code page, exactly; what happens to a character the code page cannot spell,
// `unspellable` says (Fails: absent, with ERROR_NO_UNICODE_TRANSLATION). Null and L"" give "".
Text AnsiFromWide(const wchar_t* wide, Unspellable unspellable);

// A new Text holding `first` and then `second`, of exactly their summed length plus the terminator.
// Null counts as "".
Text JoinText(const char* first, const char* second);
// The same for UTF-16: a new WideText holding `first` and then `second`. Null counts as L"".
WideText JoinWide(const wchar_t* first, const wchar_t* second);

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
