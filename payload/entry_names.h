// payload/entry_names.h: which archive entry names extraction refuses. A pure check, bytes in and
// a verdict out, with no system call and no system header: the packer applies the very same rules on
// the build machine, so a name it accepts is one the launcher will write.
//
// A name is split into components at "/" and at "\" (both separate on Windows); a byte that trails
// a double-byte character is part of that character, never a separator or a special character.
#pragma once
#include <cstddef>

// The longest name extraction holds: its name and path buffers have room for 259 bytes.
constexpr std::size_t kLongestEntryName = 259;

// The rule a name breaks; the first one found, walking from the name's first byte.
enum class NameRule {
    Accepted,
    Empty,               // no bytes at all
    TooLong,             // more than kLongestEntryName bytes
    Rooted,              // starts with "/" or "\": it would start at a drive's root
    Colon,               // ":" anywhere: a drive ("C:x") or an alternate data stream ("a.txt:s")
    ParentFolder,        // a component ".." climbs out of the destination
    TrailingDotOrSpace,  // a component ends in "." or " " (so "." too): Windows drops them, and
                         // "Velkar.exe." would overwrite "Velkar.exe"
    ControlByte,         // a byte below 0x20, NUL among them
    ReservedCharacter,   // one of < > " | ? *
    DeviceName,          // CON PRN AUX NUL CONIN$ CONOUT$ COM0-COM9 LPT0-LPT9 (and COM/LPT with a
                         // superscript 1, 2 or 3), alone or before a dot, in any case
    BrokenCharacter,     // a lead byte without its trail byte (at the end, or before a byte below
                         // 0x40, which no double-byte code page takes as a trail byte)
    EmptyComponent,      // two separators in a row ("a//b"): Windows joins them, so the entry lands
                         // where "a/b" does and one would overwrite the other
};

struct NameVerdict {
    NameRule rule = NameRule::Accepted;
    std::size_t at = 0;  // offset of the byte, or of the start of the component, that breaks it
    [[nodiscard]] bool accepted() const { return rule == NameRule::Accepted; }
};

// True for a byte that starts a double-byte character in the code page the names are read in.
using LeadByteTest = bool (*)(unsigned char byte);

// Code page 936 (GBK), the launcher's users' ANSI code page: lead bytes 0x81 to 0xFE.
[[nodiscard]] bool IsGbkLeadByte(unsigned char byte);

// The verdict on a name of `length` bytes as stored in the archive ("/" separators; a folder's name
// ends in "/", which is no empty component). A component that is empty elsewhere ("a//b") is refused.
NameVerdict CheckEntryName(const char* name, std::size_t length, LeadByteTest isLeadByte);

// A short English phrase for the rule, for messages: "a component ends in '.' or ' '".
const char* NameRuleText(NameRule rule);
