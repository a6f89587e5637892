#include "sysops/texts.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/calendar.h"

namespace {

// The character at `p` as one unit, and `p` moved past it: a double-byte character as lead * 256 +
// trail, never folded; a lone lead byte before the terminator counts alone.
unsigned TakeUnit(const unsigned char*& p, bool foldCase) {
    unsigned byte = *p;
    if (IsLeadByte(static_cast<unsigned char>(byte)) && p[1] != '\0') {
        unsigned unit = byte << 8 | p[1];
        p += 2;
        return unit;
    }
    ++p;
    if (foldCase && byte >= 'A' && byte <= 'Z')
        byte += 'a' - 'A';
    return byte;
}

Text BytesUpToZero(const void* bytes, std::size_t length) {
    if (length == 0)
        return Text();
    const void* zero = std::memchr(bytes, 0, length);
    if (zero)
        length = static_cast<std::size_t>(static_cast<const char*>(zero) - static_cast<const char*>(bytes));
    return Text::FromBytes(static_cast<const char*>(bytes), length);
}

Text Formatted(const char* text) { return Text::Copy(text); }

// A date-time: days since 1899-12-30, the time of day as the fraction. For a day before that, the
// whole part still counts the days and the fraction is the time after midnight.
Text DateTimeText(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 1e8)
        return Text();
    double whole = std::trunc(value);
    long long days = static_cast<long long>(whole);
    long long seconds = std::llround(std::fabs(value - whole) * 86400.0);
    if (seconds >= 86400) {  // rounding reached midnight of the next day
        seconds -= 86400;
        ++days;
    }
    const CivilDate date = CivilDateFromDays(days - 25569);  // 25,569 days from 1899-12-30 to 1970-01-01
    int hour = static_cast<int>(seconds / 3600), minute = static_cast<int>(seconds / 60 % 60),
        second = static_cast<int>(seconds % 60);

    char text[96];
    int n = std::snprintf(text, sizeof text, "%lld年%u月%u日", static_cast<long long>(date.year), date.month, date.day);
    if (second != 0)
        std::snprintf(text + n, sizeof text - n, "%d时%d分%d秒", hour, minute, second);
    else if (minute != 0)
        std::snprintf(text + n, sizeof text - n, "%d时%d分", hour, minute);
    else if (hour != 0)
        std::snprintf(text + n, sizeof text - n, "%d时", hour);
    return Formatted(text);
}

}  // namespace

std::int32_t CompareText(const char* a, const char* b, bool caseSensitive) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a ? a : "");
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b ? b : "");
    for (;;) {
        unsigned left = *p ? TakeUnit(p, !caseSensitive) : 0;
        unsigned right = *q ? TakeUnit(q, !caseSensitive) : 0;
        if (left != right)
            return left < right ? -1 : 1;
        if (left == 0)
            return 0;
    }
}

Text ToText(const Value& value) {
    char text[64];
    switch (value.kind()) {
    case ValueKind::Text:
        return Text::Copy(value.asText());
    case ValueKind::Byte:
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value.asInteger()));
        return Formatted(text);
    case ValueKind::Short:
    case ValueKind::Int:
        std::snprintf(text, sizeof text, "%d", static_cast<int>(value.asInteger()));
        return Formatted(text);
    case ValueKind::Long:
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value.asInteger()));
        return Formatted(text);
    case ValueKind::Float:
        std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value.asFloat()));
        return Formatted(text);
    case ValueKind::Double:
        std::snprintf(text, sizeof text, "%.13g", value.asFloating());
        return Formatted(text);
    case ValueKind::Bool:
        return Formatted(value.asInteger() != 0 ? "真" : "假");
    case ValueKind::DateTime:
        return DateTimeText(value.asFloating());
    case ValueKind::Bytes:
        return BytesUpToZero(value.asBytes()->bytes(), static_cast<std::size_t>(value.asBytes()->length));
    case ValueKind::NumericArray:
        if (value.elements() == nullptr || value.elementCount() <= 0)
            return Text();
        return BytesUpToZero(value.elements(), static_cast<std::size_t>(value.elementCount()) *
                                                   static_cast<std::size_t>(Value::WidthOf(value.elementKind())));
    default:
        return Text();
    }
}
