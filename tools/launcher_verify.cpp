// tools/launcher_verify.cpp: see launcher_verify.h. Reads the launcher once into memory and answers
// from those bytes alone: no outside program, so Linux and Windows give the same lines and report.
#include "tools/launcher_verify.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "tools/archive_check.h"
#include "tools/authenticode.h"
#include "tools/host_files.h"
#include "tools/launcher_image.h"
#include "tools/payload_rules.h"
#include "tools/pe_image.h"
#include "tools/sha256.h"

namespace launcherverify {
namespace {

using peimage::Bytes;
using peimage::Get16;
using peimage::Get32;

// What the build puts in every launcher it makes: the version block's original file name, and the record
// of the embedded archive (its size, SHA-256 and address) under this resource name.
constexpr char kOriginalFilename[] = "launcher.exe";
const std::u16string kPayloadRecord = u"KESTREL_PAYLOAD";
const std::u16string kIconGroup = u"DEFAULT_ICON";
constexpr std::uint16_t kTypeRcData = 10;

// ---- A JSON document, written as Python's json.dump(indent=2) lays one out ----------------------------

struct Json {
    enum Kind { kNull, kRaw, kText, kList, kObject } kind = kNull;
    std::string text;  // kRaw: the value's JSON text; kText: UTF-8
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> fields;

    static Json Raw(std::string t) { return {kRaw, std::move(t), {}, {}}; }
    static Json Text(std::string t) { return {kText, std::move(t), {}, {}}; }
    static Json Number(std::uint64_t n) { return Raw(std::to_string(n)); }
    static Json Bool(bool b) { return Raw(b ? "true" : "false"); }
    static Json OptionalText(const std::optional<std::string>& t) { return t ? Text(*t) : Json{}; }
    static Json List() { return {kList, {}, {}, {}}; }
    static Json Object() { return {kObject, {}, {}, {}}; }
    Json& Set(const std::string& key, Json value) {
        for (auto& field : fields)
            if (field.first == key) {
                field.second = std::move(value);
                return *this;
            }
        fields.emplace_back(key, std::move(value));
        return *this;
    }
};

// A JSON string; bytes that are no UTF-8 (a hostile certificate's name, say) become U+FFFD, so that
// the report is always a well-formed document.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80                 ? 1
                                   : c >= 0xC2 && c <= 0xDF ? 2
                                   : c >= 0xE0 && c <= 0xEF ? 3
                                   : c >= 0xF0 && c <= 0xF4 ? 4
                                                            : 0;
        if (length > 1 && i + length <= text.size() && payloadrules::IsUtf8(text.substr(i, length))) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
        if (length != 1)
            out += "\xEF\xBF\xBD";
        else if (c == '"' || c == '\\')
            out += '\\', out += char(c);
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else
            out += char(c);
    }
    return out + "\"";
}

void Write(const Json& v, int indent, std::string& out) {
    const std::string inner(std::size_t(indent + 2), ' '), outer(std::size_t(indent), ' ');
    switch (v.kind) {
    case Json::kNull:
        out += "null";
        break;
    case Json::kRaw:
        out += v.text;
        break;
    case Json::kText:
        out += Quoted(v.text);
        break;
    case Json::kList:
        if (v.items.empty()) {
            out += "[]";
            break;
        }
        out += "[\n";
        for (std::size_t i = 0; i < v.items.size(); ++i) {
            out += inner;
            Write(v.items[i], indent + 2, out);
            out += i + 1 < v.items.size() ? ",\n" : "\n";
        }
        out += outer + "]";
        break;
    case Json::kObject:
        if (v.fields.empty()) {
            out += "{}";
            break;
        }
        out += "{\n";
        for (std::size_t i = 0; i < v.fields.size(); ++i) {
            out += inner + Quoted(v.fields[i].first) + ": ";
            Write(v.fields[i].second, indent + 2, out);
            out += i + 1 < v.fields.size() ? ",\n" : "\n";
        }
        out += outer + "}";
        break;
    }
}

// ---- Small helpers --------------------------------------------------------------------------------

std::string Grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, ",");
    return digits;
}

std::string HexAddress(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;  // a lone surrogate
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A pinned fingerprint as the certificate's is written ("AB:CD:..."), from one given with or without
// colons, in any case, with or without openssl's "sha256 Fingerprint=" before it; empty when it is none.
std::string Pin(std::string text) {
    const std::string label = "sha256 fingerprint=";
    const std::size_t start = text.find_first_not_of(" \t");
    text = start == std::string::npos ? "" : text.substr(start);
    std::string head = text.substr(0, label.size());
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (head == label)
        text = text.substr(label.size());
    std::string hex;
    for (const char c : text)
        if (c != ':' && c != ' ' && c != '\t' && c != '\r' && c != '\n')
            hex += char(std::toupper(static_cast<unsigned char>(c)));
    if (hex.size() != 64 || hex.find_first_not_of("0123456789ABCDEF") != std::string::npos)
        return "";
    std::string pin;
    for (std::size_t i = 0; i < 64; i += 2)
        pin += (i ? ":" : "") + hex.substr(i, 2);
    return pin;
}

// ---- The version block -------------------------------------------------------------------------------

struct VersionFacts {
    std::string fileVersion, productVersion;
    std::map<std::string, std::string> strings;
};

// One node of a VS_VERSIONINFO: its key, its value's bytes, where its children start and where it ends.
struct VersionNode {
    std::u16string key;
    std::size_t valueAt = 0, valueSize = 0, childrenAt = 0, end = 0;
};

bool ReadVersionNode(const Bytes& b, std::size_t at, std::size_t limit, VersionNode& node) {
    if (at + 6 > limit)
        return false;
    const std::size_t length = Get16(b, at), valueLength = Get16(b, at + 2), isText = Get16(b, at + 4);
    if (length < 6 || at + length > limit)
        return false;
    const std::size_t end = at + length;
    std::size_t k = at + 6;
    node.key.clear();
    while (true) {
        if (k + 2 > end)
            return false;
        const char16_t c = char16_t(Get16(b, k));
        k += 2;
        if (!c)
            break;
        node.key += c;
    }
    node.valueAt = (k + 3) & ~std::size_t(3);
    node.valueSize = isText ? 2 * valueLength : valueLength;
    if (node.valueAt > end || node.valueSize > end - node.valueAt)
        node.valueSize = node.valueAt > end ? 0 : end - node.valueAt;
    node.childrenAt = (node.valueAt + node.valueSize + 3) & ~std::size_t(3);
    node.end = end;
    return true;
}

// The children of a node, each a node; false when one does not fit its parent.
bool Children(const Bytes& b, const VersionNode& parent, std::vector<VersionNode>& children) {
    for (std::size_t at = parent.childrenAt; at < parent.end;) {
        VersionNode child;
        if (!ReadVersionNode(b, at, parent.end, child))
            return false;
        children.push_back(child);
        at = (child.end + 3) & ~std::size_t(3);
    }
    return true;
}

bool ReadVersionBlock(const Bytes& b, VersionFacts& facts, std::string& reason) {
    VersionNode root;
    if (!ReadVersionNode(b, 0, b.size(), root)) {
        reason = "its version block is damaged";
        return false;
    }
    if (root.valueSize < 52 || Get32(b, root.valueAt) != 0xFEEF04BD) {
        reason = "the version block has no fixed part";
        return false;
    }
    const auto dotted = [&](std::size_t at) {
        const std::uint32_t ms = Get32(b, at), ls = Get32(b, at + 4);
        return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
               std::to_string(ls & 0xFFFF);
    };
    facts.fileVersion = dotted(root.valueAt + 8);
    facts.productVersion = dotted(root.valueAt + 16);
    std::vector<VersionNode> blocks;
    if (!Children(b, root, blocks)) {
        reason = "its version block is damaged";
        return false;
    }
    for (const VersionNode& block : blocks) {
        if (block.key != u"StringFileInfo")
            continue;
        std::vector<VersionNode> tables;
        if (!Children(b, block, tables)) {
            reason = "its version block is damaged";
            return false;
        }
        for (const VersionNode& table : tables) {
            std::vector<VersionNode> strings;
            if (!Children(b, table, strings)) {
                reason = "its version block is damaged";
                return false;
            }
            for (const VersionNode& s : strings) {
                std::u16string value;
                for (std::size_t i = 0; i + 1 < s.valueSize; i += 2)
                    value += char16_t(Get16(b, s.valueAt + i));
                while (!value.empty() && value.back() == 0)
                    value.pop_back();
                facts.strings[Utf8(s.key)] = Utf8(value);
            }
        }
    }
    return true;
}

// ---- The manifest ------------------------------------------------------------------------------------

// Reads a manifest as XML, well-formed or refused, and finds what the launcher's needs: the name of the
// root's assemblyIdentity (asm.v1) and the level of requestedExecutionLevel (asm.v3). Namespaces are
// resolved by their declarations in scope. Elements nest at most kMaxDepth deep.
struct ManifestReader {
    static constexpr std::size_t kMaxDepth = 64;
    explicit ManifestReader(const std::string& text) : x(text) {}
    const std::string& x;
    std::size_t at = 0;
    std::string error;
    std::optional<std::string> identity, level;

    struct Open {
        std::string name;
        std::map<std::string, std::string> spaces;  // prefix ("" the default) -> URI
    };
    std::vector<Open> stack;

    bool Fail(const std::string& why) {
        error = why + " (at byte " + std::to_string(at) + ")";
        return false;
    }
    static bool NameChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':' ||
               static_cast<unsigned char>(c) >= 0x80;
    }
    void Spaces() {
        while (at < x.size() && (x[at] == ' ' || x[at] == '\t' || x[at] == '\r' || x[at] == '\n'))
            ++at;
    }
    bool Name(std::string& name) {
        const std::size_t start = at;
        while (at < x.size() && NameChar(x[at]))
            ++at;
        name = x.substr(start, at - start);
        return !name.empty() || Fail("a name is missing");
    }
    // Text with its references replaced; the five predefined entities and character references only.
    bool Unescape(const std::string& raw, std::string& out) {
        out.clear();
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '<')
                return Fail("'<' in a value");
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const std::size_t end = raw.find(';', i);
            if (end == std::string::npos || end - i > 12)
                return Fail("an unfinished reference");
            const std::string ref = raw.substr(i + 1, end - i - 1);
            static const std::map<std::string, std::string> kNamed = {
                {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
            if (kNamed.count(ref)) {
                out += kNamed.at(ref);
            } else if (ref.size() > 1 && ref[0] == '#') {
                const bool hex = ref[1] == 'x';
                const std::string digits = ref.substr(hex ? 2 : 1);
                unsigned long c = 0;
                for (const char d : digits) {
                    const int v = d >= '0' && d <= '9'          ? d - '0'
                                  : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                                  : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                                : -1;
                    if (v < 0 || c > 0x10FFFF)
                        return Fail("a bad character reference");
                    c = c * (hex ? 16 : 10) + unsigned(v);
                }
                if (digits.empty())
                    return Fail("a bad character reference");
                if (c == 0 || c > 0x10FFFF)
                    return Fail("a bad character reference");
                out += Utf8(c < 0x10000 ? std::u16string(1, char16_t(c))
                                        : std::u16string{char16_t(0xD800 + ((c - 0x10000) >> 10)),
                                                         char16_t(0xDC00 + ((c - 0x10000) & 0x3FF))});
            } else {
                return Fail("an undefined entity &" + ref + ";");
            }
            i = end;
        }
        return true;
    }
    std::string Resolve(const std::string& qualified, std::string& local) const {
        const std::size_t colon = qualified.find(':');
        const std::string prefix = colon == std::string::npos ? "" : qualified.substr(0, colon);
        local = colon == std::string::npos ? qualified : qualified.substr(colon + 1);
        for (auto it = stack.rbegin(); it != stack.rend(); ++it)
            if (const auto found = it->spaces.find(prefix); found != it->spaces.end())
                return found->second;
        return "";
    }
    bool Skip(const std::string& end, const char* what) {
        const std::size_t found = x.find(end, at);
        if (found == std::string::npos)
            return Fail(std::string("an unfinished ") + what);
        at = found + end.size();
        return true;
    }
    bool Tag() {
        ++at;  // '<'
        if (x.compare(at, 3, "!--") == 0)
            return Skip("-->", "comment");
        if (x.compare(at, 8, "![CDATA[") == 0) {
            if (stack.empty())
                return Fail("character data outside the root");
            return Skip("]]>", "CDATA section");
        }
        if (at < x.size() && x[at] == '?')
            return Skip("?>", "processing instruction");
        if (at < x.size() && x[at] == '!')
            return Fail("a declaration");
        if (at < x.size() && x[at] == '/') {
            ++at;
            std::string name;
            if (!Name(name))
                return false;
            Spaces();
            if (at >= x.size() || x[at] != '>')
                return Fail("an unfinished end tag");
            ++at;
            if (stack.empty() || stack.back().name != name)
                return Fail("the end tag </" + name + "> closes no element of that name");
            stack.pop_back();
            return true;
        }
        if (stack.empty() && (identity || level || root))
            return Fail("a second root element");
        Open open;
        if (!Name(open.name))
            return false;
        std::vector<std::pair<std::string, std::string>> attributes;
        while (true) {
            const std::size_t before = at;
            Spaces();
            if (at >= x.size())
                return Fail("an unfinished tag");
            if (x[at] == '>' || x.compare(at, 2, "/>") == 0)
                break;
            if (at == before)
                return Fail("attributes without space between them");
            std::string name, value;
            if (!Name(name))
                return false;
            Spaces();
            if (at >= x.size() || x[at] != '=')
                return Fail("an attribute without a value");
            ++at;
            Spaces();
            if (at >= x.size() || (x[at] != '"' && x[at] != '\''))
                return Fail("an unquoted attribute value");
            const char quote = x[at++];
            const std::size_t end = x.find(quote, at);
            if (end == std::string::npos)
                return Fail("an unfinished attribute value");
            if (!Unescape(x.substr(at, end - at), value))
                return false;
            at = end + 1;
            for (const auto& a : attributes)
                if (a.first == name)
                    return Fail("the attribute " + name + " given twice");
            attributes.emplace_back(name, value);
            if (name == "xmlns")
                open.spaces[""] = value;
            else if (name.compare(0, 6, "xmlns:") == 0)
                open.spaces[name.substr(6)] = value;
        }
        const bool empty = x[at] == '/';
        at += empty ? 2 : 1;
        const bool isRoot = stack.empty();
        root = true;
        if (stack.size() >= kMaxDepth)
            return Fail("elements nested too deep");
        stack.push_back(std::move(open));
        std::string local;
        const std::string space = Resolve(stack.back().name, local);
        const auto attribute = [&](const char* wanted) -> std::optional<std::string> {
            for (const auto& a : attributes)
                if (a.first == wanted)
                    return a.second;
            return std::nullopt;
        };
        if (stack.size() == 2 && local == "assemblyIdentity" && space == "urn:schemas-microsoft-com:asm.v1" &&
            !identity)
            identity = attribute("name");
        if (local == "requestedExecutionLevel" && space == "urn:schemas-microsoft-com:asm.v3" && !level)
            level = attribute("level");
        (void)isRoot;
        if (empty)
            stack.pop_back();
        return true;
    }
    bool root = false;

    bool Read() {
        while (at < x.size()) {
            if (x[at] == '<') {
                if (!Tag())
                    return false;
                continue;
            }
            const std::size_t next = std::min(x.find('<', at), x.size());
            std::string text;
            if (!Unescape(x.substr(at, next - at), text))
                return false;
            if (stack.empty() && text.find_first_not_of(" \t\r\n") != std::string::npos && text != "\xEF\xBB\xBF")
                return Fail("text outside the root element");
            at = next;
        }
        if (!root)
            return Fail("no root element");
        if (!stack.empty())
            return Fail("the element <" + stack.back().name + "> is not closed");
        return true;
    }
};

// ---- The archive record --------------------------------------------------------------------------------

struct Record {
    std::uint64_t bytes = 0;
    std::string sha256;
    std::optional<std::uint32_t> address;
};

// "bytes=N\nsha256=HEX\n" and "address=0xXXXXXXXX\n" (which a launcher built before the record held an
// address lacks); the placeholder "address=unrecorded\n" says that the build's last step did not run.
bool ReadRecord(const Bytes& data, Record& record, std::string& reason) {
    const std::string text(data.begin(), data.end());
    std::size_t at = 0;
    const auto field = [&](const char* key, std::string& value) {
        const std::string k = key;
        if (text.compare(at, k.size(), k) != 0)
            return false;
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            return false;
        value = text.substr(at + k.size(), end - at - k.size());
        at = end + 1;
        return true;
    };
    std::string bytes, sha, address;
    reason = "its payload record is unreadable";
    if (!field("bytes=", bytes) || bytes.empty() || bytes.size() > 12 ||
        bytes.find_first_not_of("0123456789") != std::string::npos || !field("sha256=", sha) || sha.size() != 64 ||
        sha.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    record.bytes = std::stoull(bytes);
    record.sha256 = sha;
    if (at == text.size())
        return true;
    if (!field("address=", address) || at != text.size())
        return false;
    if (address == "unrecorded") {
        reason = "its payload record holds no address: the build's last step (record-place) did not run";
        return false;
    }
    if (address.size() != 10 || address.compare(0, 2, "0x") != 0 ||
        address.find_first_not_of("0123456789ABCDEF", 2) != std::string::npos)
        return false;
    record.address = std::uint32_t(std::stoul(address.substr(2), nullptr, 16));
    return true;
}

// ---- What follows the last section -------------------------------------------------------------------

// The bytes of the DER value (a SEQUENCE: the PKCS#7 signature) at `at`, its tag and length included; 0
// when there is none.
std::uint64_t DerLength(const Bytes& data, std::uint64_t at) {
    if (at + 2 > data.size() || data[at] != 0x30)
        return 0;
    const std::uint8_t first = data[at + 1];
    if (first < 0x80)
        return 2 + first;
    const std::uint8_t count = first & 0x7F;
    if (count < 1 || count > 4 || at + 2 + count > data.size())
        return 0;
    std::uint64_t length = 0;
    for (std::uint8_t i = 0; i < count; ++i)
        length = length << 8 | data[at + 2 + i];
    return 2 + count + length;
}

// Nothing may follow the last section, or in a signed program one certificate table that ends the file
// and is as large as the signature in it (its WIN_CERTIFICATE's length, rounded up to 8 bytes). Windows
// hashes neither the table nor what lies behind it, so bytes there could be changed or added under a
// valid signature.
std::vector<std::string> TrailingPoints(const peimage::Image& image) {
    const Bytes& data = image.file;
    std::uint64_t end = 0;
    for (const peimage::Section& s : image.sections)
        if (s.rawSize)
            end = std::max(end, std::uint64_t(s.rawOffset) + s.rawSize);
    const peimage::DataDirectory table = image.directories[peimage::kCertificateDirectory];
    if (!table.size) {
        if (data.size() > end)
            return {Grouped(data.size() - end) + " bytes follow the last section (from byte " + Grouped(end) +
                    "): a launcher this packager makes ends there"};
        return {};
    }
    bool padding = true;
    for (std::uint64_t i = end; i < table.rva && i < data.size(); ++i)
        padding = padding && data[i] == 0;
    if (table.rva < end || table.rva > ((end + 7) & ~std::uint64_t(7)) || !padding ||
        std::uint64_t(table.rva) + 8 > data.size())
        return {"its certificate table (at byte " + Grouped(table.rva) +
                ") does not follow the last section (which ends at byte " + Grouped(end) + ")"};
    std::vector<std::string> points;
    const std::uint64_t length = Get32(data, table.rva);
    const std::uint64_t own = 8 + DerLength(data, table.rva + 8);
    const auto round8 = [](std::uint64_t v) { return (v + 7) & ~std::uint64_t(7); };
    if (!(table.size == round8(length) && round8(length) == round8(own)))
        points.push_back("its certificate table takes " + Grouped(table.size) + " bytes, but the signature in it " +
                         Grouped(own) + ": the rest is no part of the signature");
    if (std::uint64_t(table.rva) + table.size > data.size())
        points.push_back("its certificate table runs past the file's end");
    else if (std::uint64_t(table.rva) + table.size != data.size())
        points.push_back(Grouped(data.size() - table.rva - table.size) +
                         " bytes follow its certificate table, which must end the file");
    return points;
}

// ---- The signatures ----------------------------------------------------------------------------------

struct SignatureResult {
    Json state;  // the report's "signature" object
    std::string stateText;
    std::vector<std::string> points;
    std::vector<std::string> lines;
};

// A signature is valid only when something the user gave vouches for its signer: the roots (--ca) its
// chain leads to, or the signer's certificate itself (--signer, its SHA-256 fingerprint). Without
// either, a sound signature is "unverified": anybody can make a certificate with any name.
SignatureResult Signatures(const peimage::Image& image, const Request& request, const std::vector<std::string>& pins) {
    SignatureResult result;
    const bool signerPinned = !pins.empty();
    const bool rooted = !request.caFiles.empty();
    if (!image.directories[peimage::kCertificateDirectory].size) {
        result.stateText = "unsigned";
        result.state = Json::Object()
                           .Set("state", Json::Text("unsigned"))
                           .Set("digest", {})
                           .Set("signer", {})
                           .Set("signer_sha256", {})
                           .Set("signing_time", {})
                           .Set("timestamp", {})
                           .Set("chain", {})
                           .Set("signatures", Json::List());
        return result;
    }

    // The roots of each --ca file; a file that cannot be read fails every chain to it.
    std::vector<std::vector<authenticode::Certificate>> roots;
    std::vector<std::string> rootErrors;
    for (const std::string& file : request.caFiles) {
        std::string data, error;
        std::vector<authenticode::Certificate> certificates;
        if (!hostfiles::ReadWhole(file, data, error))
            error = "cannot read it: " + error;
        else if (authenticode::ReadCertificateFile(data, certificates, error))
            error.clear();
        roots.push_back(std::move(certificates));
        rootErrors.push_back(error);
    }
    std::string caNames;
    for (const std::string& file : request.caFiles)
        caNames += (caNames.empty() ? "" : ", ") + file;
    std::string pinNames;
    for (const std::string& pin : pins)
        pinNames += (pinNames.empty() ? "" : " or ") + pin;

    std::vector<authenticode::Signature> signatures;
    der::View pkcs7;
    std::string unreadable;
    if (!authenticode::SignedData(image, pkcs7, unreadable) ||
        !authenticode::ReadSignatures(pkcs7, signatures, unreadable)) {
        signatures.clear();
        signatures.emplace_back();
        signatures.back().problem = unreadable;
    }

    const std::int64_t now = std::int64_t(std::time(nullptr));
    std::vector<Json> entries;
    std::vector<std::string> states;
    for (const authenticode::Signature& s : signatures) {
        const std::string what = s.index == 0 ? "the signature" : "the nested signature " + std::to_string(s.index);
        const authenticode::Certificate* signer = s.signer >= 0 ? &s.certificates[std::size_t(s.signer)] : nullptr;
        bool matches = false;
        if (s.problem.empty()) {
            Bytes digest;
            std::string ignored;
            matches = authenticode::ImageDigest(image, s.imageHash, digest, ignored) && digest == s.signedImageDigest;
        }
        const std::optional<std::string> fingerprint =
            signer ? std::optional<std::string>(signer->Fingerprint()) : std::nullopt;
        std::optional<std::string> chain;
        std::vector<std::string> own;
        if (!s.problem.empty()) {
            own.push_back(what + " cannot be read: " + s.problem);
        } else if (!matches) {
            own.push_back(what + "'s digest does not match the file: it was changed after it was signed");
        } else {
            std::string error;
            // The certificates must be valid when it was signed, as its time stamp says, or else now.
            const std::int64_t at = s.timestampTime.value_or(now);
            if (!authenticode::SignatureHolds(s, error)) {
                if (rooted)
                    chain = "failed: " + error;
                own.push_back(what + " does not verify" + (rooted ? " against " + caNames : std::string()) + ": " +
                              error);
            } else if (rooted) {
                std::string failures;
                for (std::size_t i = 0; i < roots.size(); ++i) {
                    std::string why = rootErrors[i];
                    if (why.empty() && authenticode::ChainsTo(s, roots[i], at, why))
                        continue;
                    own.push_back(what + " does not verify against " + request.caFiles[i] + ": " + why);
                    failures += (failures.empty() ? "" : "; ") + why;
                }
                chain = failures.empty() ? "verified against " + caNames : "failed: " + failures;
            } else if (authenticode::ChainsTo(s, {}, at, error) || error.find("self-signed") == 0 ||
                       error == "unable to get local issuer certificate") {
                // Sound or not, the chain cannot be told without the root; said, not failed.
                chain = error == "unable to get local issuer certificate"
                            ? "not checked: its root is not in the signature (--ca ROOT.pem checks it)"
                            : "not checked (--ca ROOT.pem checks it)";
            } else {
                own.push_back(what + " does not verify: " + error);
            }
        }
        const bool pinned = fingerprint && std::find(pins.begin(), pins.end(), *fingerprint) != pins.end();
        if (signerPinned && matches && pinned && own.empty() && !rooted)
            chain = "not checked; its signer's certificate is the one pinned (--signer)";
        if (signerPinned && matches && fingerprint && !pinned)
            own.push_back(what + "'s signer (" + signer->subject.slashed + ", SHA-256 " + *fingerprint +
                          ") is not the one pinned by --signer " + pinNames);
        const std::string state = !own.empty() ? "invalid" : rooted || signerPinned ? "valid" : "unverified";
        const std::optional<std::string> signingTime =
            s.signingTime ? std::optional<std::string>(der::TimeText(*s.signingTime)) : std::nullopt;
        const std::string timestamp = !s.timestamped    ? "none"
                                      : s.timestampTime ? der::TimeText(*s.timestampTime)
                                                        : "present, its time unreadable";
        Json entry =
            Json::Object()
                .Set("index", Json::Number(std::uint64_t(s.index)))
                .Set("nested", Json::Bool(s.index > 0))
                .Set("signer", Json::OptionalText(signer ? std::optional(signer->subject.slashed) : std::nullopt))
                .Set("signer_sha256", Json::OptionalText(fingerprint))
                .Set("digest", Json::Text(matches ? "matches" : "differs"))
                .Set("signing_time", Json::OptionalText(signingTime))
                .Set("timestamp", s.problem.empty() ? Json::Text(timestamp) : Json{})
                .Set("chain", Json::OptionalText(chain))
                .Set("state", Json::Text(state));
        if (s.index == 0) {
            result.state =
                Json::Object()
                    .Set("state", {})
                    .Set("digest", Json::Text(matches ? "matches" : "differs"))
                    .Set("signer", Json::OptionalText(signer ? std::optional(signer->subject.oneLine) : std::nullopt))
                    .Set("signer_sha256", Json::OptionalText(fingerprint))
                    .Set("signing_time", Json::OptionalText(signingTime))
                    .Set("timestamp", s.problem.empty() ? Json::Text(timestamp) : Json{})
                    .Set("chain", Json::OptionalText(chain));
            const auto shown = [](const std::optional<std::string>& v) { return v.value_or("unknown"); };
            // The first line says the state of all the signatures together, completed below.
            result.lines = {
                std::string(" (the signed digest ") + (matches ? "matches" : "differs from") + " the file's)",
                "  signer:        " + shown(signer ? std::optional(signer->subject.oneLine) : std::nullopt),
                "  fingerprint:   " + shown(fingerprint),
                "  signing time:  " + shown(signingTime),
                "  time stamp:    " + (s.problem.empty() ? timestamp : std::string("unknown")),
                "  chain:         " + shown(chain)};
        } else {
            result.lines.push_back("  nested " + std::to_string(s.index) + ":      " +
                                   (state == "unverified" ? "signer not verified" : state) + ", by " +
                                   (signer ? signer->subject.slashed : "unknown") + " (SHA-256 " +
                                   fingerprint.value_or("unknown") + "), signed " + signingTime.value_or("unknown"));
        }
        states.push_back(state);
        result.points.insert(result.points.end(), own.begin(), own.end());
        entries.push_back(std::move(entry));
    }
    const auto any = [&](const char* state) { return std::find(states.begin(), states.end(), state) != states.end(); };
    result.stateText = any("invalid") ? "invalid" : any("unverified") ? "unverified" : "valid";
    result.state.Set("state", Json::Text(result.stateText));
    result.lines[0] =
        "  signature:     " +
        (result.stateText == "unverified" ? std::string("present, signer not verified") : result.stateText) +
        result.lines[0];
    Json list = Json::List();
    list.items = std::move(entries);
    result.state.Set("signatures", std::move(list));
    return result;
}

// ---- The archive -------------------------------------------------------------------------------------

// The packer's checks of the archive the launcher installs, as pack-payload --check makes them: its
// listing for the report, the summary's lines, or the refusals.
void CheckArchive(const std::string& zip, Json& archive, std::vector<std::string>& lines,
                  std::vector<std::string>& points) {
    std::vector<payloadrules::Item> items;
    std::vector<payloadrules::Refusal> refusals;
    if (zip.size() > payloadrules::kMaxPayloadBytes)
        refusals.push_back({"(the payload)", "the archive takes " + Grouped(zip.size()) +
                                                 " bytes; the launcher installs at most " +
                                                 Grouped(payloadrules::kMaxPayloadBytes) + " (" +
                                                 Grouped(payloadrules::kMaxPayloadBytes >> 20) +
                                                 " MiB): it holds the archive twice in a 32-bit address space"});
    std::string error;
    const archivecheck::Listing listing = archivecheck::ListArchive(zip, items, refusals, error);
    if (listing == archivecheck::Listing::kUnreadable) {
        points.push_back("the embedded archive is refused: " + error);
        return;
    }
    if (listing == archivecheck::Listing::kListed)
        for (payloadrules::Refusal& r : payloadrules::Check(items))
            refusals.push_back(std::move(r));
    if (!refusals.empty()) {
        for (const payloadrules::Refusal& r : refusals)
            points.push_back("the embedded archive is refused: " + payloadrules::ShownName(r.name) + ": " + r.rule);
        return;
    }
    std::size_t folders = 0;
    std::uint64_t bytesIn = 0;
    std::string longest;
    for (const payloadrules::Item& item : items) {
        folders += item.folder ? 1 : 0;
        bytesIn += item.size;
        const std::string path = payloadrules::InstallPath(item.ansi);
        if (path.size() > longest.size())
            longest = path;
    }
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f%%", bytesIn ? 100.0 * double(zip.size()) / double(bytesIn) : 100.0);
    lines.push_back("  entries:       " + Grouped(items.size()) + " (" + Grouped(folders) + " folders, " +
                    Grouped(items.size() - folders) + " files)");
    lines.push_back("  bytes in:      " + Grouped(bytesIn) + " (the files)");
    lines.push_back("  bytes out:     " + Grouped(zip.size()) + " (the archive, " + ratio + " of the files)");
    lines.push_back("  longest path:  " + Grouped(longest.size()) + " of " +
                    std::to_string(payloadrules::kPathLimit - 1) + " bytes, under a 20-character user name:");
    lines.push_back("                 " + payloadrules::AnsiToUtf8(longest).value_or(longest));

    Json listed = Json::Object();
    listed.Set("bytes", Json::Number(zip.size()))
        .Set("folders", Json::Number(folders))
        .Set("files", Json::Number(items.size() - folders))
        .Set("bytes_in", Json::Number(bytesIn))
        .Set("longest_install_path", Json::Object()
                                         .Set("bytes", Json::Number(longest.size()))
                                         .Set("limit", Json::Number(payloadrules::kPathLimit - 1))
                                         .Set("path", Json::Text(payloadrules::AnsiToUtf8(longest).value_or(""))));
    const std::size_t rootSize = std::string(payloadrules::kLongestInstallRoot).size();
    Json entries = Json::List();
    for (const payloadrules::Item& item : items) {
        const std::string path = payloadrules::InstallPath(item.ansi).substr(rootSize);
        entries.items.push_back(Json::Object()
                                    .Set("path", Json::Text(payloadrules::AnsiToUtf8(path).value_or("")))
                                    .Set("folder", Json::Bool(item.folder))
                                    .Set("size", Json::Number(item.size))
                                    .Set("crc32", Json::Number(item.crc)));
    }
    listed.Set("entries", std::move(entries));
    for (auto& field : archive.fields)
        listed.Set(field.first, field.second);
    archive = std::move(listed);
}

// ---- The whole read-back -----------------------------------------------------------------------------

struct Inspection {
    Json exe = Json::Object(), archive, signature;
    std::vector<std::string> points, lines;
};

const peimage::Resource* Find(const std::vector<peimage::Resource>& list, std::uint16_t type,
                              const peimage::ResourceId& name) {
    // The first language of each resource, as the program's own look-up finds it.
    for (const peimage::Resource& r : list)
        if (!r.type.named && r.type.id == type && r.name == name)
            return &r;
    return nullptr;
}

Inspection Inspect(const Request& request, const std::string& shown, const std::vector<std::string>& pins) {
    Inspection in;
    std::string data, error;
    in.exe.Set("path", Json::Text(shown));
    if (!hostfiles::ReadWhole(request.launcher, data, error)) {
        in.points.push_back(shown + ": cannot read it: " + error);
        return in;
    }
    const std::string digest = sha256::HexHash(data.data(), data.size());
    in.exe.Set("bytes", Json::Number(data.size())).Set("sha256", Json::Text(digest));

    // The kind of program first, in the words a packager understands; then the image's own reader.
    Bytes bytes(data.begin(), data.end());
    std::string refused;
    if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z') {
        refused = "not a Windows program (no MZ header)";
    } else {
        const std::uint64_t pe = Get32(bytes, 60);
        if (pe + 24 > bytes.size() || Get32(bytes, pe) != 0x00004550) {
            refused = "not a Windows program (no PE header)";
        } else {
            const std::uint64_t optional = pe + 24, optionalSize = Get16(bytes, pe + 20);
            if (Get16(bytes, pe + 4) != 0x14C || optional + optionalSize > bytes.size() || optionalSize < 70 ||
                Get16(bytes, optional) != 0x10B)
                refused = "not a 32-bit Windows program (PE32 for x86)";
            else if (Get16(bytes, optional + 68) != 2)
                refused = "not a GUI program (the launcher's subsystem is the Windows GUI)";
        }
    }
    peimage::Image image;
    std::vector<peimage::Resource> resources;
    if (refused.empty() && !peimage::ReadImage(bytes, image, refused))
        refused = "its headers are damaged: " + refused;
    if (refused.empty() && !peimage::ReadResources(image, resources, refused))
        refused = "its resources are damaged: " + refused;
    if (!refused.empty()) {
        in.points.push_back(shown + ": " + refused);
        return in;
    }
    in.lines.push_back("  program:       PE32 GUI, " + Grouped(data.size()) + " bytes, SHA-256 " + digest);

    // The version block.
    const peimage::Resource* version = Find(resources, peimage::kTypeVersion, peimage::ResourceId::Id(1));
    VersionFacts facts;
    bool versionRead = false;
    if (!version) {
        in.points.push_back("not a launcher this packager made: it has no version block");
    } else if (!ReadVersionBlock(version->data, facts, error)) {
        in.points.push_back("not a launcher this packager made: " + error);
    } else {
        versionRead = true;
    }
    const auto text = [&](const char* key) -> std::optional<std::string> {
        const auto found = facts.strings.find(key);
        return found == facts.strings.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    const auto said = [](const std::optional<std::string>& v) { return v ? "'" + *v + "'" : std::string("None"); };
    if (version && text("OriginalFilename") != std::optional<std::string>(kOriginalFilename))
        in.points.push_back("not a launcher this packager made: its version block names " +
                            said(text("OriginalFilename")) + ", not '" + kOriginalFilename + "'");
    if (versionRead && text("FileVersion") != std::optional<std::string>(facts.fileVersion))
        in.points.push_back("the version block's FileVersion text " + said(text("FileVersion")) +
                            " differs from its number " + facts.fileVersion);
    in.exe.Set("version", versionRead ? Json::Text(facts.fileVersion) : Json{})
        .Set("product_version", versionRead ? Json::Text(facts.productVersion) : Json{})
        .Set("product_name", Json::OptionalText(text("ProductName")));
    in.lines.push_back("  version:       " + (versionRead ? facts.fileVersion : std::string("None")) + " (" +
                       text("ProductName").value_or("None") + ")");
    // The texts beside the numbers, absent where the block has none.
    static const struct {
        const char *field, *key, *shown;
    } kTexts[] = {{"product_version_text", "ProductVersion", "product ver.:"},
                  {"description", "FileDescription", "description:"},
                  {"company", "CompanyName", "company:"},
                  {"copyright", "LegalCopyright", "copyright:"}};
    for (const auto& t : kTexts) {
        in.exe.Set(t.field, Json::OptionalText(text(t.key)));
        if (text(t.key)) {
            char label[32];
            std::snprintf(label, sizeof label, "  %-14s ", t.shown);
            in.lines.push_back(label + *text(t.key));
        }
    }

    // The icon.
    Json icons = Json::List();
    const peimage::Resource* group = Find(resources, peimage::kTypeGroupIcon, peimage::ResourceId::Name(kIconGroup));
    if (!group) {
        in.points.push_back("it has no icon DEFAULT_ICON");
    } else {
        const Bytes& g = group->data;
        std::string line, problem;
        const std::size_t count = g.size() >= 6 ? Get16(g, 4) : 0;
        if (g.size() < 6 || g.size() < 6 + 14 * count)
            problem = "its icon DEFAULT_ICON is damaged";
        for (std::size_t i = 0; problem.empty() && i < count; ++i) {
            const std::size_t at = 6 + 14 * i;
            const int width = g[at] ? g[at] : 256, height = g[at + 1] ? g[at + 1] : 256;
            const std::uint16_t bits = Get16(g, at + 6), id = Get16(g, at + 12);
            const std::uint32_t size = Get32(g, at + 8);
            const peimage::Resource* icon = Find(resources, peimage::kTypeIcon, peimage::ResourceId::Id(id));
            if (!icon) {
                problem = "its icon DEFAULT_ICON names an image it lacks";
                break;
            }
            static const std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
            const bool png = icon->data.size() >= 8 && std::equal(kPng, kPng + 8, icon->data.begin());
            const std::string kind = png ? "PNG" : std::to_string(bits) + "-bit";
            icons.items.push_back(
                Json::Object()
                    .Set("width", Json::Number(std::uint64_t(width)))
                    .Set("height", Json::Number(std::uint64_t(height)))
                    .Set("kind", Json::Text(kind))
                    .Set("bytes", Json::Number(size))
                    .Set("sha256", Json::Text(sha256::HexHash(icon->data.data(), icon->data.size()))));
            line += (line.empty() ? "" : ", ") + std::to_string(width) + " x " + std::to_string(height) + " " + kind;
        }
        if (!problem.empty()) {
            in.points.push_back(problem);
            icons = Json::List();
        } else {
            in.lines.push_back("  icon:          " + line);
        }
    }
    in.exe.Set("icon", std::move(icons));

    // The manifest.
    in.exe.Set("manifest", {});
    const peimage::Resource* manifest = Find(resources, peimage::kTypeManifest, peimage::ResourceId::Id(1));
    if (!manifest) {
        in.points.push_back("it has no manifest");
    } else {
        const std::string xml(manifest->data.begin(), manifest->data.end());
        // Entities are no part of a manifest; refused before parsing, so none can be expanded.
        ManifestReader reader(xml);
        if (xml.find("<!DOCTYPE") != std::string::npos || xml.find("<!ENTITY") != std::string::npos) {
            in.points.push_back("its manifest declares a document type");
        } else if (!reader.Read()) {
            in.points.push_back("its manifest is not well-formed XML: " + reader.error);
        } else {
            in.exe.Set("manifest", Json::Object()
                                       .Set("identity", Json::OptionalText(reader.identity))
                                       .Set("execution_level", Json::OptionalText(reader.level)));
            // The launcher installs under the AppData of the user who starts it: elevated, it would write
            // into the administrator's profile instead.
            if (reader.level != std::optional<std::string>("asInvoker"))
                in.points.push_back("its manifest asks for " + reader.level.value_or("None") + ", not asInvoker");
            else
                in.lines.push_back("  manifest:      " + reader.identity.value_or("None") + ", asInvoker");
        }
    }

    // The archive where the program reads it, against the build's record and the packer's checks.
    const peimage::Resource* recordResource = Find(resources, kTypeRcData, peimage::ResourceId::Name(kPayloadRecord));
    if (!recordResource) {
        in.points.push_back("not a launcher this packager made: it carries no payload record (KESTREL_PAYLOAD)");
    } else {
        Record record;
        launcherimage::Place place;
        if (!ReadRecord(recordResource->data, record, error) || !launcherimage::FindArchive(image, place, error)) {
            in.points.push_back("the embedded archive: " + error);
        } else {
            const std::string zip(data, place.archiveOffset, place.archiveBytes);
            const std::string archiveDigest = sha256::HexHash(zip.data(), zip.size());
            if (record.address && *record.address != place.archiveAddress)
                in.points.push_back("the program's code reads the archive at address " +
                                    HexAddress(place.archiveAddress) + ", the build put it at " +
                                    HexAddress(*record.address));
            in.archive = Json::Object()
                             .Set("offset", Json::Number(place.archiveOffset))
                             .Set("bytes", Json::Number(zip.size()))
                             .Set("sha256", Json::Text(archiveDigest))
                             .Set("section", Json::Text(launcherimage::kPayloadSection))
                             .Set("address", Json::Number(place.archiveAddress));
            in.lines.push_back("  archive:       " + Grouped(zip.size()) + " bytes at byte " +
                               Grouped(place.archiveOffset) + " (" + launcherimage::kPayloadSection + ", address " +
                               HexAddress(place.archiveAddress) + "), SHA-256 " + archiveDigest);
            if (zip.size() != record.bytes)
                in.points.push_back("the archive the program reads is " + Grouped(zip.size()) +
                                    " bytes, the build recorded " + Grouped(record.bytes));
            else if (archiveDigest != record.sha256)
                in.points.push_back("the embedded archive's bytes differ from those the build recorded (SHA-256 " +
                                    record.sha256 + ")");
            CheckArchive(zip, in.archive, in.lines, in.points);
        }
    }
    for (std::string& point : TrailingPoints(image))
        in.points.push_back(std::move(point));

    SignatureResult signature = Signatures(image, request, pins);
    in.points.insert(in.points.end(), signature.points.begin(), signature.points.end());
    if (signature.stateText == "unsigned") {
        in.lines.push_back("  signature:     none");
        if (request.requireSignature)
            in.points.push_back("it is not signed (--require-signature)");
    } else {
        in.lines.insert(in.lines.end(), signature.lines.begin(), signature.lines.end());
        if (request.requireSignature && signature.stateText == "unverified")
            in.points.push_back(
                "its signer is not verified (--require-signature): --ca ROOT.pem or --signer SHA256 says whose "
                "signature it must carry");
    }
    in.signature = std::move(signature.state);
    return in;
}

// Writes the report under a fresh name beside it (made new, never through a file planted there) and moves
// it into place whole; a report that cannot be written leaves nothing.
bool WriteReport(const std::string& path, const std::string& text, std::string& error) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string part =
            folder + "." + base + ".verify-" + std::to_string(stamp) + "-" + std::to_string(attempt) + ".part";
        if (!hostfiles::WriteNew(part, text, error))
            continue;
        if (hostfiles::Replace(part, path, error))
            return true;
        std::string ignored;
        (void)hostfiles::RemoveFile(part, ignored);
        return false;
    }
    return false;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds < 0 ? 0.0 : seconds);
    std::string s = text;
    while (s.size() > 1 && s.back() == '0' && s[s.size() - 2] != '.')
        s.pop_back();
    return s;
}

}  // namespace

int Verify(const Request& request) {
    const auto begun = std::chrono::steady_clock::now();
    const std::string shown = request.shownAs.empty() ? request.launcher : request.shownAs;
    std::vector<std::string> pins;
    std::vector<std::string> badPins;
    for (const std::string& given : request.signers) {
        const std::string pin = Pin(given);
        if (pin.empty())
            badPins.push_back(given);
        else
            pins.push_back(pin);
    }
    Inspection in = Inspect(request, shown, pins);
    // A pin that is no fingerprint can vouch for nothing: said, and the signature is not taken as valid.
    for (const std::string& bad : badPins)
        in.points.push_back("--signer " + bad +
                            " is not a SHA-256 fingerprint (64 hexadecimal digits, colons allowed)");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();

    std::cout << "Verified " << shown << "\n";
    for (const std::string& line : in.lines)
        std::cout << line << "\n";
    std::cout.flush();
    for (const std::string& point : in.points)
        std::cerr << "failed: " << point << "\n";
    std::cerr.flush();

    if (!request.reportPath.empty()) {
        Json inputs = Json::Object();
        for (const auto& [key, value] : request.inputs)
            inputs.Set(key, Json::Raw(value.empty() ? "null" : value));
        Json steps = Json::List();
        for (const auto& [step, time] : request.steps)
            steps.items.push_back(
                Json::Object().Set("step", Json::Text(step)).Set("seconds", Json::Raw(Seconds(time))));
        steps.items.push_back(
            Json::Object().Set("step", Json::Text("verify")).Set("seconds", Json::Raw(Seconds(seconds))));
        Json failures = Json::List();
        for (const std::string& point : in.points)
            failures.items.push_back(Json::Text(point));
        Json report = Json::Object();
        report.Set("report_format", Json::Number(2))
            .Set("tool", Json::Object()
                             .Set("name", Json::Text(request.toolName))
                             .Set("version", Json::Text(request.toolVersion)))
            .Set("inputs", std::move(inputs))
            .Set("exe", std::move(in.exe))
            .Set("archive", std::move(in.archive))
            .Set("signature", std::move(in.signature))
            .Set("holds", Json::Bool(in.points.empty()))
            .Set("failures", std::move(failures))
            .Set("steps", std::move(steps));
        std::string text;
        Write(report, 0, text);
        text += "\n";
        std::string error;
        if (!WriteReport(request.reportPath, text, error)) {
            std::cerr << request.reportPath << ": the report cannot be written: " << error << "\n";
            return 1;
        }
    }
    std::cout << shown << ": "
              << (in.points.empty()
                      ? std::string("all holds")
                      : Grouped(in.points.size()) + (in.points.size() == 1 ? " failing point" : " failing points"))
              << "\n";
    return in.points.empty() ? 0 : 1;
}

}  // namespace launcherverify
