// payload/entry_names.cpp: the rules for entry names, shared by extraction and the packer.
#include "payload/entry_names.h"

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameLetters(const char* a, std::size_t length, const char* b) {
    std::size_t i = 0;
    for (; i < length; ++i)
        if (b[i] == '\0' || Upper(a[i]) != b[i])
            return false;
    return b[i] == '\0';
}

// A component names a device when what stands before its first dot, without trailing spaces, is a
// reserved name: Windows opens the device for "nul", "NUL.txt" and "nul .txt" alike. The digits of
// COM and LPT include 0 and the superscripts 1, 2, 3 (0xB9, 0xB2, 0xB3 in the Western code page),
// which newer Windows also reserves; a superscript byte that is a lead byte starts a character of
// its own instead.
bool IsDeviceName(const char* component, std::size_t length, LeadByteTest isLeadByte) {
    std::size_t stem = 0;
    while (stem < length && component[stem] != '.')
        ++stem;
    while (stem > 0 && component[stem - 1] == ' ')
        --stem;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (SameLetters(component, stem, device))
            return true;
    if (stem != 4 || !(SameLetters(component, 3, "COM") || SameLetters(component, 3, "LPT")))
        return false;
    const auto digit = static_cast<unsigned char>(component[3]);
    if (digit >= '0' && digit <= '9')
        return true;
    return (digit == 0xB9 || digit == 0xB2 || digit == 0xB3) && !isLeadByte(digit);
}

// The rule a component breaks when it ends; `singleByteEnd` tells whether its last byte is a
// character of its own (a trail byte is never "." or " ", but say so rather than rely on it).
NameRule CheckComponent(const char* start, std::size_t length, bool singleByteEnd, LeadByteTest isLeadByte) {
    if (length == 0)
        return NameRule::Accepted;
    if (length == 2 && start[0] == '.' && start[1] == '.')
        return NameRule::ParentFolder;
    if (singleByteEnd && (start[length - 1] == '.' || start[length - 1] == ' '))
        return NameRule::TrailingDotOrSpace;
    if (IsDeviceName(start, length, isLeadByte))
        return NameRule::DeviceName;
    return NameRule::Accepted;
}

bool IsReserved(unsigned char c) { return c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*'; }

}  // namespace

bool IsGbkLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

NameVerdict CheckEntryName(const char* name, std::size_t length, LeadByteTest isLeadByte) {
    if (length == 0)
        return {NameRule::Empty, 0};
    if (length > kLongestEntryName)
        return {NameRule::TooLong, kLongestEntryName};
    if (name[0] == '/' || name[0] == '\\')
        return {NameRule::Rooted, 0};
    std::size_t start = 0;
    bool singleByteEnd = true;
    for (std::size_t at = 0; at <= length;) {
        const bool end = at == length;
        const unsigned char c = end ? 0 : static_cast<unsigned char>(name[at]);
        if (end || c == '/' || c == '\\') {
            // Only a folder's name may end in a separator; anywhere else, the system would join two.
            if (at == start && !end)
                return {NameRule::EmptyComponent, start};
            const NameRule rule = CheckComponent(name + start, at - start, singleByteEnd, isLeadByte);
            if (rule != NameRule::Accepted)
                return {rule, start};
            start = ++at;
            singleByteEnd = true;
            continue;
        }
        if (isLeadByte(c)) {
            if (at + 1 >= length || static_cast<unsigned char>(name[at + 1]) < 0x40)
                return {NameRule::BrokenCharacter, at};
            at += 2;
            singleByteEnd = false;
            continue;
        }
        if (c < 0x20)
            return {NameRule::ControlByte, at};
        if (c == ':')
            return {NameRule::Colon, at};
        if (IsReserved(c))
            return {NameRule::ReservedCharacter, at};
        ++at;
        singleByteEnd = true;
    }
    return {};
}

const char* NameRuleText(NameRule rule) {
    // In the order of NameRule's values.
    static const char* const kTexts[] = {
        "accepted",
        "the name is empty",
        "the name is longer than 259 bytes",
        "the name starts with a separator",
        "the name holds ':' (a drive or a data stream)",
        "a component is '..'",
        "a component ends in '.' or ' '",
        "the name holds a byte below 0x20",
        "the name holds one of < > \" | ? *",
        "a component is a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, ...)",
        "a double-byte character lacks its trail byte",
        "the name holds two separators in a row (Windows joins them: another entry's place)",
    };
    static_assert(sizeof kTexts / sizeof kTexts[0] == static_cast<unsigned>(NameRule::EmptyComponent) + 1);
    const auto index = static_cast<unsigned>(rule);
    return index < sizeof kTexts / sizeof kTexts[0] ? kTexts[index] : "unknown rule";
}
