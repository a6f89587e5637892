// tools/payload_rules.cpp: the install checks of a payload, on the build machine.
#include "tools/payload_rules.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <locale.h>
#include <wctype.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>

#include "payload/entry_names.h"

namespace payloadrules {
namespace {

#ifdef _WIN32
// Windows' own tables for the packer built for Windows: code page 936 without best-fit stand-ins (a
// character 936 cannot spell is no spelling, not a look-alike), and the invariant locale's capitals.

// `in` from `from` to UTF-16; nothing when a byte sequence is invalid there.
std::optional<std::wstring> Widened(UINT from, const std::string& in) {
    if (in.empty())
        return std::wstring();
    const int size = static_cast<int>(in.size());
    const int length = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), size, nullptr, 0);
    if (length <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), size, wide.data(), length) != length)
        return std::nullopt;
    return wide;
}

// UTF-16 to `to`; nothing when a character has no spelling there.
std::optional<std::string> Narrowed(UINT to, const std::wstring& wide) {
    if (wide.empty())
        return std::string();
    const int size = static_cast<int>(wide.size());
    // UTF-8 takes neither flag nor default-character report; 936 takes both.
    const DWORD flags = to == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* reportDefault = to == CP_UTF8 ? nullptr : &usedDefault;
    const int length = WideCharToMultiByte(to, flags, wide.data(), size, nullptr, 0, nullptr, reportDefault);
    if (length <= 0 || usedDefault)
        return std::nullopt;
    std::string out(static_cast<std::size_t>(length), '\0');
    if (WideCharToMultiByte(to, flags, wide.data(), size, out.data(), length, nullptr, reportDefault) != length ||
        usedDefault)
        return std::nullopt;
    return out;
}

// Windows spells the private-use characters U+E000 to U+E765 in 936's user-defined rows, which glibc's
// table leaves out; compared over every character, that is the one difference of the two tables. They
// count as unspellable here too, so that both packers refuse the same names (and no name depends on a
// font's own glyph for a private character).
bool HasPrivateUse(const std::wstring& wide) {
    return std::any_of(wide.begin(), wide.end(), [](wchar_t c) { return c >= 0xE000 && c <= 0xF8FF; });
}

std::optional<std::string> Utf8ToCodePage936(const std::string& utf8) {
    const std::optional<std::wstring> wide = Widened(CP_UTF8, utf8);
    return wide && !HasPrivateUse(*wide) ? Narrowed(936, *wide) : std::nullopt;
}

std::optional<std::string> CodePage936ToUtf8(const std::string& ansi) {
    const std::optional<std::wstring> wide = Widened(936, ansi);
    return wide && !HasPrivateUse(*wide) ? Narrowed(CP_UTF8, *wide) : std::nullopt;
}

// The capital of one Unicode character, by the invariant locale (the user's own would make the
// Turkish dotless and dotted i depend on the machine); the character itself where it has none. Compared
// over every character with the C library's table that the Linux build uses, the invariant locale
// leaves out these 27 capitals of letters that are no lower case of them (the micro sign, the dotless
// i, the long s, the final sigma, the Greek symbol forms, the old Cyrillic letters...): they are added,
// so that both builds find the same names alike.
std::uint32_t Capital(std::uint32_t code) {
    static const std::map<std::uint32_t, std::uint32_t> kAlsoCapitals = {
        {0xB5, 0x39C},    {0x131, 0x49},    {0x17F, 0x53},   {0x1C5, 0x1C4},  {0x1C8, 0x1C7},  {0x1CB, 0x1CA},
        {0x1F2, 0x1F1},   {0x345, 0x399},   {0x3C2, 0x3A3},  {0x3D0, 0x392},  {0x3D1, 0x398},  {0x3D5, 0x3A6},
        {0x3D6, 0x3A0},   {0x3F0, 0x39A},   {0x3F1, 0x3A1},  {0x3F5, 0x395},  {0x1C80, 0x412}, {0x1C81, 0x414},
        {0x1C82, 0x41E},  {0x1C83, 0x421},  {0x1C84, 0x422}, {0x1C85, 0x422}, {0x1C86, 0x42A}, {0x1C87, 0x462},
        {0x1C88, 0xA64A}, {0x1E9B, 0x1E60}, {0x1FBE, 0x399}};
    if (const auto also = kAlsoCapitals.find(code); also != kAlsoCapitals.end())
        return also->second;
    wchar_t units[2];
    int count = 1;
    if (code >= 0x10000) {
        units[0] = static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
        units[1] = static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        count = 2;
    } else {
        units[0] = static_cast<wchar_t>(code);
    }
    wchar_t upper[4] = {};
    const int length =
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, units, count, upper, 4, nullptr, nullptr, 0);
    if (length == 1)
        return static_cast<std::uint16_t>(upper[0]);
    if (length == 2 && upper[0] >= 0xD800 && upper[0] <= 0xDBFF)
        return 0x10000 + ((static_cast<std::uint32_t>(upper[0]) - 0xD800) << 10) +
               (static_cast<std::uint32_t>(upper[1]) - 0xDC00);
    return code;
}
#else
// Windows' code page 936 as glibc's iconv names it.
constexpr char kAnsiCodePage[] = "CP936";

std::optional<std::string> Convert(const char* to, const char* from, const std::string& in) {
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(in.size() * 4 + 8, '\0');
    char* inPointer = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char* outPointer = out.data();
    std::size_t outLeft = out.size();
    const std::size_t done = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
    iconv_close(converter);
    // A character without a spelling stops the conversion with EILSEQ; glibc may also count it as an
    // irreversible conversion, which is no spelling either.
    if (done != 0 || inLeft != 0)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

std::optional<std::string> Utf8ToCodePage936(const std::string& utf8) { return Convert(kAnsiCodePage, "UTF-8", utf8); }

std::optional<std::string> CodePage936ToUtf8(const std::string& ansi) { return Convert("UTF-8", kAnsiCodePage, ansi); }

// The capital of one Unicode character, by the C library's Unicode case table; the character itself
// where it has none.
std::uint32_t Capital(std::uint32_t code) {
    static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return unicode ? static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(code), unicode)) : code;
}
#endif

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// The byte after the character that starts at `i` (a lead byte and its trail count as one).
std::size_t NextChar(const std::string& s, std::size_t i) {
    if (IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size())
        return i + 2;
    return i + 1;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameAsciiLetters(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

// Windows compares names without regard to case: the name in capitals, character by character, with
// the C library's Unicode case table (Latin, Greek, Cyrillic and full-width letters alike).
std::string Folded(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (lead < 0x80 || i + length > utf8.size()) {
            out += Upper(utf8[i]);
            ++i;
            continue;
        }
        std::uint32_t code = lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        const std::uint32_t upper = Capital(code);
        // Written back in UTF-8 (the capital may take another number of bytes than the letter).
        if (upper < 0x80) {  // a letter whose capital is ASCII (the dotless i gives I)
            out += static_cast<char>(upper);
            i += length;
            continue;
        }
        if (upper < 0x800) {
            out += static_cast<char>(0xC0 | (upper >> 6));
        } else if (upper < 0x10000) {
            out += static_cast<char>(0xE0 | (upper >> 12));
            out += static_cast<char>(0x80 | ((upper >> 6) & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (upper >> 18));
            out += static_cast<char>(0x80 | ((upper >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((upper >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (upper & 0x3F));
        i += length;
    }
    return out;
}

std::string WithoutTrailingSlash(const std::string& name) {
    return !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
}

// True for a name Windows keeps as its own short (8.3) name, so that it gets no other: one to eight
// characters, then at most one dot and one to three more, ASCII letters (in either case), digits and
// the marks MS-DOS allowed. Any other name is given a short name such as "PROGRA~1".
bool IsShortName(const std::string& name) {
    const std::size_t dot = name.find('.');
    const std::size_t base = dot == std::string::npos ? name.size() : dot;
    if (base < 1 || base > 8 || (dot != std::string::npos && (name.size() - dot - 1 < 1 || name.size() - dot - 1 > 3)))
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (i == dot)
            continue;
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              std::string("!#$%&'()-@^_`{}~").find(static_cast<char>(c)) != std::string::npos))
            return false;
    }
    return true;
}

// True for a name of the form Windows gives as a short name: up to six characters, "~" and a number,
// then perhaps a dot and up to three characters ("PROGRA~1", "LIBRAR~12.DLL", "AB12C~1").
bool LooksLikeGivenShortName(const std::string& name) {
    const std::size_t tilde = name.find('~');
    if (tilde == std::string::npos || tilde < 1 || tilde > 6 || !IsShortName(name))
        return false;
    std::size_t end = tilde + 1;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9')
        ++end;
    return end > tilde + 1 && name[tilde + 1] != '0' && (end == name.size() || name[end] == '.');
}

std::string Decimal(std::size_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, ",");
    return digits;
}

}  // namespace

std::optional<std::string> Utf8ToAnsi(const std::string& utf8) { return Utf8ToCodePage936(utf8); }

std::optional<std::string> AnsiToUtf8(const std::string& ansi) { return CodePage936ToUtf8(ansi); }

std::string InstallPath(const std::string& ansiName) {
    std::string path = kLongestInstallRoot;
    // Byte by byte would take a trail byte 0x2F for a separator; code page 936 has none, but walk the
    // characters as the launcher does.
    for (std::size_t i = 0; i < ansiName.size();) {
        const std::size_t next = NextChar(ansiName, i);
        if (next == i + 1 && ansiName[i] == '/')
            path += '\\';
        else
            path.append(ansiName, i, next - i);
        i = next;
    }
    return path;
}

// The launcher's own name rules (payload/entry_names.h), compiled into the packer: a name accepted
// here is one extraction writes. A backslash is refused besides: on the build machine it is part of a
// file's name, where Windows would take it for a separator.
std::optional<std::string> LauncherRefusesName(const std::string& ansiName) {
    const NameVerdict verdict = CheckEntryName(ansiName.data(), ansiName.size(), IsGbkLeadByte);
    if (!verdict.accepted())
        return std::string(NameRuleText(verdict.rule));
    for (std::size_t i = 0; i < ansiName.size(); i = NextChar(ansiName, i))
        if (ansiName[i] == '\\')
            return std::string("the name holds a backslash, which Windows reads as a folder separator");
    return std::nullopt;
}

bool IsUtf8(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        // The shortest form only, no surrogates, nothing above U+10FFFF.
        std::size_t length = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF)
            length = 2, minimum = 0x80;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3, minimum = 0x800;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4, minimum = 0x10000;
        else
            return false;
        if (i + length > bytes.size())
            return false;
        std::uint32_t code = lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (c & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::vector<Refusal> Check(const std::vector<Item>& items, const std::string& appDir) {
    std::vector<Refusal> refusals;
    if (items.size() > kMaxEntries)
        refusals.push_back(
            {"(the payload)",
             Decimal(items.size()) + " entries; an archive without ZIP64 holds at most " + Decimal(kMaxEntries)});
    bool mainFound = false, mainIsFolder = false, mainOneLevelDown = false;
    std::map<std::string, std::string> byFoldedName;  // the first name of each folded spelling
    std::set<std::string> foldersChecked;             // install paths of folders already measured
    std::set<std::string> dotNames;                   // names beginning with "." already refused
    const std::string top = kTopFolder;
    // The files by the name Windows sees: an archive made elsewhere can hold an entry below one of them
    // ("a.txt" and "a.txt/b"), and the launcher cannot make a folder where it wrote a file.
    std::map<std::string, std::string> filesByFoldedName;
    for (const Item& item : items)
        if (!item.folder)
            filesByFoldedName.emplace(Folded(item.spellable ? AnsiToUtf8(item.ansi).value_or(item.ansi) : item.name),
                                      item.name);
    // Each folder's names, folders on the way included, with the entry that first has each: a name of the
    // form of a given short name ("PROGRA~1") may open the file or folder of a long name beside it that
    // Windows gave that short name, so the launcher would write one over the other.
    std::map<std::string, std::map<std::string, std::string>> namesByFolder;
    for (const Item& item : items) {
        const std::string path = WithoutTrailingSlash(item.name);
        for (std::size_t start = 0; start < path.size();) {
            std::size_t end = path.find('/', start);
            end = end == std::string::npos ? path.size() : end;
            namesByFolder[Folded(path.substr(0, start))].emplace(path.substr(start, end - start), item.name);
            start = end + 1;
        }
    }
    for (const auto& [folder, names] : namesByFolder) {
        const auto longName =
            std::find_if(names.begin(), names.end(), [](const auto& n) { return !IsShortName(n.first); });
        if (longName == names.end())
            continue;
        for (const auto& [component, entry] : names)
            if (LooksLikeGivenShortName(component))
                refusals.push_back({entry, "\"" + component +
                                               "\" has the form of a short (8.3) name, which Windows may "
                                               "have given \"" +
                                               longName->first +
                                               "\" beside it: the launcher would write "
                                               "one over the other"});
    }
    for (const Item& item : items) {
        const std::string& name = item.name;
        if (!SameAsciiLetters(name.substr(0, top.size()), top))
            refusals.push_back(
                {name, "lies outside " + top + ": the launcher starts and removes only that folder's tree"});
        if (!item.folder && SameAsciiLetters(name, kMainExecutable))
            mainFound = true;
        mainIsFolder = mainIsFolder || (item.folder && SameAsciiLetters(name, std::string(kMainExecutable) + "/"));
        mainOneLevelDown = mainOneLevelDown || (!item.folder && SameAsciiLetters(name, top + kMainExecutable));
        if (!item.folder && item.size > kMaxFileSize)
            refusals.push_back({name, "a file of 4 GiB or more (the payload has no ZIP64)"});

        // Two names are one on Windows when the names as stored (code page 936) are one without regard
        // to case: compared after the conversion, so that characters the conversion drops or merges
        // count as they will on the user's machine. The stored bytes are read back for the case rules.
        const std::string stored = item.spellable ? AnsiToUtf8(item.ansi).value_or(item.ansi) : name;
        const std::string folded = Folded(WithoutTrailingSlash(stored));
        const auto [seen, fresh] = byFoldedName.emplace(folded, name);
        if (!fresh) {
            std::string why;
            if (seen->second == name)
                why = "appears twice";
            else if (Folded(WithoutTrailingSlash(seen->second)) == Folded(WithoutTrailingSlash(name)))
                why = "differs from \"" + seen->second + "\" only in case; on Windows one would overwrite the other";
            else
                why = "is stored under the same name as \"" + seen->second +
                      "\" once converted to code page 936 (a character drops out or becomes the same one); "
                      "on Windows one would overwrite the other";
            refusals.push_back({name, why});
        }
        for (std::size_t slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
            const auto file = filesByFoldedName.find(folded.substr(0, slash));
            if (file != filesByFoldedName.end()) {
                refusals.push_back({name, "lies below the file \"" + file->second +
                                              "\": the launcher cannot make a folder where it wrote a file"});
                break;
            }
        }

        if (!item.spellable) {
            refusals.push_back(
                {name, item.utf8 ? "a name the ANSI code page 936 cannot spell (the launcher reads names in it)"
                                 : "its name on disk is not UTF-8 (the odd bytes shown as \\xNN), so it "
                                   "cannot be converted to code page 936: rename it in UTF-8"});
            continue;
        }
        if (const auto why = LauncherRefusesName(item.ansi)) {
            refusals.push_back({name, "the launcher refuses it: " + *why});
            continue;
        }
        // A name beginning with "." is refused where it first appears on the path (a folder refused
        // once, not again for every file in it).
        for (std::size_t start = top.size(); start < name.size();) {
            std::size_t end = name.find('/', start);
            end = end == std::string::npos ? name.size() : end + 1;
            if (name[start] == '.') {
                if (dotNames.insert(name.substr(0, end)).second)
                    refusals.push_back({name.substr(0, end),
                                        "begins with '.': the launcher's clean-up passes over names beginning "
                                        "with '.', so it would stay on the user's machine"});
                break;
            }
            start = end;
        }
        const std::string path = InstallPath(item.ansi);
        if (path.size() >= kPathLimit)
            refusals.push_back({name, "its install path takes " + Decimal(path.size()) +
                                          " bytes under a 20-character user name (" + std::string(kLongestInstallRoot) +
                                          "...); at most " + Decimal(kPathLimit - 1) + " fit"});
        // Every folder on the path is made with CreateDirectoryA, whose limit is lower; a folder given
        // by entries and by the paths beneath it is measured once.
        const std::size_t rootSize = std::string(kLongestInstallRoot).size();
        for (std::size_t i = rootSize; i < path.size(); i = NextChar(path, i)) {
            if (path[i] != '\\')
                continue;
            const std::string folder = path.substr(0, i);
            if (!foldersChecked.insert(folder).second || folder.size() < kFolderPathLimit)
                continue;
            refusals.push_back({name, "the folder " + AnsiToUtf8(folder.substr(rootSize)).value_or("?") + " takes " +
                                          Decimal(folder.size()) +
                                          " bytes under a 20-character user name; Windows makes folders of at most " +
                                          Decimal(kFolderPathLimit - 1)});
        }
    }
    if (!mainFound) {
        std::string why = "missing: the launcher starts it";
        const std::string holder = appDir.empty() ? "the archive" : appDir;
        if (mainIsFolder)
            why += "; " + holder + " holds a folder of that name, not the program";
        else if (mainOneLevelDown && appDir.empty())
            why += "; the archive holds Velkar/Velkar/Velkar.exe: its entries lie one folder too deep";
        else if (mainOneLevelDown)
            why += "; " + appDir + " holds Velkar/Velkar.exe: did you mean " + appDir + "/Velkar?";
        refusals.push_back({kMainExecutable, why});
    }
    return refusals;
}

std::string ShownName(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        std::size_t length = c < 0x80                 ? 1
                             : c >= 0xC2 && c <= 0xDF ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 0;
        if (length > 1 && !(i + length <= name.size() && payloadrules::IsUtf8(name.substr(i, length))))
            length = 0;
        if (length == 0 || c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++i;
            continue;
        }
        out.append(name, i, length);
        i += length;
    }
    return out;
}

}  // namespace payloadrules
