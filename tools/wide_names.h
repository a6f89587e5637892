// tools/wide_names.h: the packer's UTF-8 text and Windows' UTF-16 names, converted in one place for
// its Windows build. Portable (no system calls). A name on an NTFS volume is any sequence of 16-bit
// units, a lone surrogate included: it crosses to 8-bit text as the three bytes its code point would
// take (not UTF-8, so the checks refuse it as they refuse a Linux name that is no UTF-8), and those
// bytes cross back to the same unit, so that every name on disk can be named again.
#pragma once
#include <string>

namespace widenames {

// UTF-16 to UTF-8, lone surrogates as their three-byte forms.
std::string Utf8FromWide(const std::wstring& wide);

// UTF-8 (lone surrogates' three-byte forms included) to UTF-16; false for any other byte sequence.
[[nodiscard]] bool WideFromUtf8(const std::string& utf8, std::wstring& wide);

}  // namespace widenames
