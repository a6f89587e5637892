// tools/wide_names.cpp: UTF-8 and UTF-16 for the packer's Windows build.
#include "tools/wide_names.h"

#include <cstdint>
#include <utility>

namespace widenames {
namespace {

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool IsHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string Utf8FromWide(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const std::uint32_t unit = static_cast<std::uint16_t>(wide[i]);
        if (IsHigh(unit) && i + 1 < wide.size() && IsLow(static_cast<std::uint16_t>(wide[i + 1]))) {
            const std::uint32_t low = static_cast<std::uint16_t>(wide[++i]);
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else {
            AppendUtf8(out, unit);  // a lone surrogate keeps its own code point
        }
    }
    return out;
}

bool WideFromUtf8(const std::string& utf8, std::wstring& wide) {
    std::wstring out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80)
            length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF)
            length = 2, minimum = 0x80;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3, minimum = 0x800;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4, minimum = 0x10000;
        else
            return false;
        if (i + length > utf8.size())
            return false;
        std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (c & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF)
            return false;
        // A pair spelled as two three-byte forms is not how Utf8FromWide writes one: refused, so that
        // one text names one file.
        if (IsLow(code) && !out.empty() && IsHigh(static_cast<std::uint16_t>(out.back())))
            return false;
        if (code >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code);
        }
        i += length;
    }
    wide = std::move(out);
    return true;
}

}  // namespace widenames
