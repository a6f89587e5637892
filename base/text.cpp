#include "base/text.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

Text Text::FromBytes(const char* bytes, std::size_t length) {
    Text t;
    t.Take(bytes, length);
    return t;
}

Text Text::Copy(const char* s) {
    if (s == nullptr)
        s = "";
    return FromBytes(s, std::strlen(s));
}

Text Text::Zeroed(std::size_t length) { return FromBytes(nullptr, length); }

WideText WideText::FromChars(const wchar_t* chars, std::size_t length) {
    WideText t;
    t.Take(chars, length);
    return t;
}

WideText WideText::Zeroed(std::size_t length) { return FromChars(nullptr, length); }

WideText WideFromAnsi(const char* ansi) {
    if (ansi == nullptr || *ansi == '\0')
        return WideText::Zeroed(0);
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, nullptr, 0);
    if (length <= 0)
        return WideText{};
    WideText wide = WideText::Zeroed(static_cast<std::size_t>(length) - 1);
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, wide.data(), length) != length)
        return WideText{};
    return wide;
}

namespace {

// Spells `wide` into `into` (`size` bytes, terminator included; null and 0 ask for the size) and
// answers the bytes it takes with the terminator, 0 when the system refused. `inexact` is set when a
// character had no exact spelling and came out as the default "?".
int SpellInCodePage(const wchar_t* wide, char* into, int size, bool& inexact) {
    // A system whose ANSI code page is UTF-8 spells every character, and takes neither the flag nor
    // the question: both make the call fail there.
    if (GetACP() == CP_UTF8)
        return WideCharToMultiByte(CP_ACP, 0, wide, -1, into, size, nullptr, nullptr);
    BOOL usedDefault = FALSE;
    // WC_NO_BEST_FIT_CHARS: a character the code page lacks becomes "?", never a look-alike.
    const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, into, size, nullptr, &usedDefault);
    inexact = inexact || usedDefault;
    return bytes;
}

}  // namespace

Text AnsiFromWide(const wchar_t* wide, Unspellable unspellable) {
    if (wide == nullptr || *wide == L'\0')
        return Text::Zeroed(0);
    bool inexact = false;
    const int bytes = SpellInCodePage(wide, nullptr, 0, inexact);
    if (bytes <= 0)
        return Text{};
    Text ansi = Text::Zeroed(static_cast<std::size_t>(bytes) - 1);
    if (SpellInCodePage(wide, ansi.data(), bytes, inexact) != bytes)
        return Text{};
    if (unspellable == Unspellable::BecomesMark)
        return ansi;
    // Exact means that the spelling reads back as the very characters, whatever the system counts as a
    // best fit; on a UTF-8 code page, which reports no default character, an unpaired surrogate comes
    // out as U+FFFD and is caught here.
    const WideText back = WideFromAnsi(ansi.c_str());
    if (inexact || back.absent() || std::wcscmp(back.c_str(), wide) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return Text{};
    }
    return ansi;
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

WideText JoinWide(const wchar_t* first, const wchar_t* second) {
    if (first == nullptr)
        first = L"";
    if (second == nullptr)
        second = L"";
    const std::size_t a = std::wcslen(first), b = std::wcslen(second);
    WideText joined = WideText::Zeroed(a + b);
    std::memcpy(joined.data(), first, a * sizeof(wchar_t));
    std::memcpy(joined.data() + a, second, b * sizeof(wchar_t));
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
