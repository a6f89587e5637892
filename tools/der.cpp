// tools/der.cpp: see der.h.
#include "tools/der.h"

#include <cstdio>

namespace der {

bool Reader::Next(Element& element) {
    if (AtEnd())
        return false;
    const std::size_t left = data_.size() - at_;
    const std::uint8_t* p = data_.data() + at_;
    if (left < 2 || (p[0] & 0x1F) == 0x1F)
        return failed_ = true, false;
    std::size_t header = 2;
    std::uint64_t length = p[1];
    if (length & 0x80) {
        const std::size_t count = length & 0x7F;
        // 0x80 is BER's indefinite length, which DER never uses; four bytes reach 4 GiB, more than any
        // signature holds.
        if (count == 0 || count > 4 || left < 2 + count)
            return failed_ = true, false;
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = length << 8 | p[2 + i];
        header += count;
    }
    if (length > left - header)
        return failed_ = true, false;
    element.tag = p[0];
    element.whole = data_.subspan(at_, header + std::size_t(length));
    element.content = data_.subspan(at_ + header, std::size_t(length));
    at_ += header + std::size_t(length);
    return true;
}

bool Reader::Expect(std::uint8_t tag, Element& element) {
    if (!Next(element))
        return failed_ = true, false;
    if (element.tag != tag)
        return failed_ = true, false;
    return true;
}

bool Reader::Optional(std::uint8_t tag, Element& element) {
    if (AtEnd() || data_.size() - at_ < 1 || data_[at_] != tag)
        return false;
    return Next(element);
}

bool ReadWhole(View data, Element& element) {
    Reader reader(data);
    return reader.Next(element) && reader.AtEnd() && !reader.Failed();
}

std::string OidText(const Element& element) {
    if (element.tag != kOid || element.content.empty() || element.content.size() > 64)
        return "";
    std::string text;
    std::uint64_t value = 0;
    bool first = true;
    for (std::size_t i = 0; i < element.content.size(); ++i) {
        const std::uint8_t byte = element.content[i];
        if (value == 0 && byte == 0x80)  // a leading zero group is not DER
            return "";
        value = value << 7 | (byte & 0x7F);
        if (value > (1ull << 56))
            return "";
        if (byte & 0x80) {
            if (i + 1 == element.content.size())
                return "";
            continue;
        }
        if (first) {
            const std::uint64_t arc = value < 80 ? value / 40 : 2;
            text = std::to_string(arc) + "." + std::to_string(value - 40 * arc);
            first = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    return text;
}

bool Unsigned(const Element& element, std::vector<std::uint8_t>& magnitude) {
    if (element.tag != kInteger || element.content.empty() || (element.content[0] & 0x80))
        return false;
    std::size_t start = 0;
    while (start + 1 < element.content.size() && element.content[start] == 0)
        ++start;
    magnitude.assign(element.content.begin() + std::ptrdiff_t(start), element.content.end());
    return true;
}

bool BitStringBytes(const Element& element, View& bytes) {
    if (element.tag != kBitString || element.content.empty() || element.content[0] != 0)
        return false;
    bytes = element.content.subspan(1);
    return true;
}

namespace {

// Days from 1970-01-01 to the date (proleptic Gregorian), after Howard Hinnant's days_from_civil.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

bool Digits(View text, std::size_t at, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

bool Time(const Element& element, std::int64_t& seconds) {
    const View t = element.content;
    std::size_t at = 0;
    unsigned year = 0;
    if (element.tag == kUtcTime && t.size() == 13) {
        if (!Digits(t, 0, 2, year))
            return false;
        year += year < 50 ? 2000 : 1900;  // RFC 5280: 50 to 99 are the 1900s
        at = 2;
    } else if (element.tag == kGeneralizedTime && t.size() >= 15) {
        if (!Digits(t, 0, 4, year))
            return false;
        at = 4;
        // A time stamp's GeneralizedTime may carry a fraction of a second ("...28.123Z"); it is dropped.
        if (t.size() > 15) {
            unsigned fraction = 0;
            if (t[14] != '.' || t.size() > 15 + 7 || !Digits(t, 15, t.size() - 16, fraction) || t.size() == 16)
                return false;
        }
    } else {
        return false;
    }
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!Digits(t, at, 2, month) || !Digits(t, at + 2, 2, day) || !Digits(t, at + 4, 2, hour) ||
        !Digits(t, at + 6, 2, minute) || !Digits(t, at + 8, 2, second) || t.back() != 'Z')
        return false;
    static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour > 23 || minute > 59 || second > 60)
        return false;
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::string TimeText(std::int64_t seconds) {
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0)
        rest += 86400, days -= 1;
    // civil_from_days, the inverse of DaysFromCivil.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = std::int64_t(yoe) + era * 400 + (month <= 2);
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[48];
    std::snprintf(text, sizeof text, "%s %2u %02d:%02d:%02d %lld GMT", kMonths[month - 1], day, int(rest / 3600),
                  int(rest / 60 % 60), int(rest % 60), static_cast<long long>(year));
    return text;
}

namespace {

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool StringValue(const Element& element, std::string& utf8) {
    const View c = element.content;
    utf8.clear();
    switch (element.tag) {
    case kUtf8String:
    case kPrintableString:
    case kIa5String:
        utf8.assign(c.begin(), c.end());
        return true;
    case kT61String:  // in practice Latin-1
        for (const std::uint8_t b : c)
            AppendUtf8(utf8, b);
        return true;
    case kBmpString:
        if (c.size() % 2)
            return false;
        for (std::size_t i = 0; i < c.size(); i += 2) {
            std::uint32_t unit = std::uint32_t(c[i]) << 8 | c[i + 1];
            if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < c.size()) {
                const std::uint32_t low = std::uint32_t(c[i + 2]) << 8 | c[i + 3];
                if (low >= 0xDC00 && low < 0xE000) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    i += 2;
                }
            }
            AppendUtf8(utf8, unit);
        }
        return true;
    case kUniversalString:
        if (c.size() % 4)
            return false;
        for (std::size_t i = 0; i < c.size(); i += 4) {
            const std::uint32_t cp =
                std::uint32_t(c[i]) << 24 | std::uint32_t(c[i + 1]) << 16 | std::uint32_t(c[i + 2]) << 8 | c[i + 3];
            if (cp > 0x10FFFF)
                return false;
            AppendUtf8(utf8, cp);
        }
        return true;
    default:
        return false;
    }
}

}  // namespace der
