// tools/packer_checks.cpp: the packer's checks of its inputs (tools/packer_checks.h).
#include "tools/packer_checks.h"

#include <algorithm>
#include <cstdio>

namespace packerchecks {
namespace {

constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";

std::uint32_t Le(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}
std::uint32_t Be32(const std::string& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

std::string Printf(const char* format, auto... values) {
    char line[512];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

bool IsPng(const std::string& data, std::size_t at = 0) { return data.compare(at, 8, kPngSignature, 8) == 0; }

struct Placed {
    int width, height;
    std::uint64_t offset, size;
};

// One image of the directory, judged by what its bytes hold; "" when it passes.
std::string CheckImage(const std::string& image, const std::string& name, int width, int height, std::string& kind) {
    if (IsPng(image)) {
        // Vista and later read PNG images; the size is the PNG's own header's (IHDR).
        if (image.size() < 33 || image.compare(12, 4, "IHDR") != 0)
            return name + " is a PNG image without its header (IHDR)";
        const std::uint32_t pngWidth = Be32(image, 16), pngHeight = Be32(image, 20);
        if (pngWidth != std::uint32_t(width) || pngHeight != std::uint32_t(height))
            return name + Printf(" holds a PNG image of %u x %u", pngWidth, pngHeight);
        kind = "PNG";
        return "";
    }
    if (image.size() < 40)
        return name + Printf(" is neither a PNG image nor a bitmap (%zu bytes)", image.size());
    const std::uint32_t header = Le(image, 0, 4);
    const auto dibWidth = static_cast<std::int32_t>(Le(image, 4, 4));
    const auto dibHeight = static_cast<std::int32_t>(Le(image, 8, 4));
    const std::uint32_t planes = Le(image, 12, 2), bits = Le(image, 14, 2), compression = Le(image, 16, 4);
    const std::uint32_t used = Le(image, 32, 4);
    if ((header != 40 && header != 108 && header != 124) || planes != 1)
        return name + " is neither a PNG image nor a bitmap";
    if (dibWidth != width || dibHeight != 2 * height)
        return name + Printf(" holds a bitmap of %d x %d (an icon's is %d x %d: the picture and its mask)", dibWidth,
                             dibHeight, width, 2 * height);
    const bool knownBits = bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    if (!knownBits || (compression != 0 && compression != 3))
        return name + Printf(
                          " is a bitmap of %u bits, compression %u: icons take 1, 4, 8, 16, 24 or 32 bits, "
                          "uncompressed",
                          bits, compression);
    // In 64 bits: a colour count of up to 2^32 from a hostile header must not wrap the sum around.
    const std::uint64_t colours = used ? used : (bits <= 8 ? 1u << bits : 0);
    const std::uint64_t masks = compression == 3 && header == 40 ? 12 : 0;
    const std::uint64_t w = std::uint64_t(width), h = std::uint64_t(height);
    const std::uint64_t mask = (w + 31) / 32 * 4 * h;
    const std::uint64_t need = header + masks + 4 * colours + (w * bits + 31) / 32 * 4 * h + mask;
    const std::uint64_t size = image.size();
    if (bits == 32 && need - mask <= size && size < need)
        // Many favicon writers leave the mask out beside the alpha channel, but Windows reads an icon
        // bitmap as picture and mask whatever its depth, and draws with the mask in places.
        return name +
               " is a 32-bit bitmap without its mask (the 1-bit AND mask that follows the picture): "
               "Windows requires it beside the alpha channel; save the icon again from an icon editor "
               "that writes the mask, or with its images as PNG";
    if (need > size)
        return name + Printf(" is cut short: its picture and mask need %llu bytes, the directory gives it %llu",
                             static_cast<unsigned long long>(need), static_cast<unsigned long long>(size));
    kind = std::to_string(bits) + "-bit";
    return "";
}

// The code points of UTF-8 text, or false when it is not UTF-8.
bool CodePoints(const std::string& text, std::vector<std::pair<char32_t, std::string>>& out) {
    if (!payloadrules::IsUtf8(text))
        return false;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        for (std::size_t k = 1; k < length; ++k)
            point = point << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out.emplace_back(point, text.substr(i, length));
        i += length;
    }
    return true;
}

}  // namespace

bool CheckIcon(const std::string& data, std::vector<IconFacts>& images, std::string& reason) {
    images.clear();
    if (IsPng(data)) {
        reason = "a PNG file, not an icon (.ico): put the PNG image in an .ico file";
        return false;
    }
    if (data.size() < 6) {
        reason = Printf("%zu bytes: too short for an icon's header (6 bytes)", data.size());
        return false;
    }
    const std::uint32_t reserved = Le(data, 0, 2), kind = Le(data, 2, 2), count = Le(data, 4, 2);
    if (reserved != 0 || (kind != 1 && kind != 2)) {
        reason = "not an icon (.ico): its header is not an icon's";
        return false;
    }
    if (kind == 2) {
        reason = "a cursor (.cur), not an icon (.ico)";
        return false;
    }
    if (count == 0) {
        reason = "holds no image";
        return false;
    }
    const std::uint64_t directoryEnd = 6 + 16ull * count;
    if (directoryEnd > data.size()) {
        reason = Printf("its directory of %u images runs past the end of the file (%llu of %zu bytes)", count,
                        static_cast<unsigned long long>(directoryEnd), data.size());
        return false;
    }
    std::vector<Placed> placed;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = 6 + 16 * i;
        const int width = Le(data, at, 1) ? int(Le(data, at, 1)) : 256;
        const int height = Le(data, at + 1, 1) ? int(Le(data, at + 1, 1)) : 256;
        const std::uint64_t size = Le(data, at + 8, 4), offset = Le(data, at + 12, 4);
        const std::string name = Printf("image %u (%d x %d)", i + 1, width, height);
        if (size == 0) {
            reason = name + " is empty";
            return false;
        }
        if (offset < directoryEnd) {
            reason =
                name + Printf(" starts inside the directory (at byte %llu)", static_cast<unsigned long long>(offset));
            return false;
        }
        if (offset + size > data.size()) {
            reason = name + Printf(" runs past the end of the file (bytes %llu to %llu of %zu)",
                                   static_cast<unsigned long long>(offset),
                                   static_cast<unsigned long long>(offset + size), data.size());
            return false;
        }
        IconFacts facts{width, height, ""};
        reason = CheckImage(data.substr(offset, size), name, width, height, facts.kind);
        if (!reason.empty())
            return false;
        images.push_back(facts);
        placed.push_back({width, height, offset, size});
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const Placed& a, const Placed& b) { return a.offset < b.offset; });
    std::uint64_t covered = directoryEnd;
    for (const Placed& p : placed) {
        if (p.offset < covered) {
            reason = Printf("image (%d x %d) at byte %llu overlaps another part of the file", p.width, p.height,
                            static_cast<unsigned long long>(p.offset));
            return false;
        }
        if (p.offset > covered) {
            reason = Printf("bytes %llu to %llu belong to no image", static_cast<unsigned long long>(covered),
                            static_cast<unsigned long long>(p.offset));
            return false;
        }
        covered = p.offset + p.size;
    }
    if (covered != data.size()) {
        reason = Printf("%llu bytes after the last image belong to no image",
                        static_cast<unsigned long long>(data.size() - covered));
        return false;
    }
    return true;
}

std::string DescribeIcon(const std::string& path, const std::vector<IconFacts>& images) {
    std::string shown;
    for (const IconFacts& image : images)
        shown += (shown.empty() ? "" : ", ") + Printf("%d x %d ", image.width, image.height) + image.kind;
    std::string out = "Icon " + path + ": " + std::to_string(images.size()) +
                      (images.size() == 1 ? " image" : " images") + " (" + shown + ")\n";
    std::vector<std::string> lacking;
    for (const int size : {16, 32, 48})
        if (std::none_of(images.begin(), images.end(),
                         [size](const IconFacts& i) { return i.width == size && i.height == size; }))
            lacking.push_back(Printf("%d x %d", size, size));
    if (!lacking.empty()) {
        std::string sizes;
        for (std::size_t i = 0; i < lacking.size(); ++i)
            sizes += (i ? " or " : "") + lacking[i];
        out += "  note: no " + sizes + " image: Explorer scales another one for " +
               (lacking.size() == 1 ? "that size" : "those sizes") + "\n";
    }
    return out;
}

bool ParseVersion(const std::string& text, const std::string& option, std::array<std::uint16_t, 4>& version,
                  std::string& reason) {
    std::array<std::string, 4> parts;
    std::size_t part = 0;
    for (const char c : text) {
        if (c == '.' && part < 3 && !parts[part].empty())
            ++part;
        else if (c >= '0' && c <= '9')
            parts[part] += c;
        else
            part = 4;  // not of the form
        if (part == 4)
            break;
    }
    if (part != 3 || parts[3].empty()) {
        reason = option + " takes four numbers A.B.C.D, not '" + text + "'";
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        std::string digits = parts[i];
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
        // Compared by length first: a number of many digits would overflow.
        if (digits.size() > 5 || std::stoul(digits) > 65535) {
            reason = option + ": each number is at most 65535 ('" + text + "')";
            return false;
        }
        version[i] = static_cast<std::uint16_t>(std::stoul(digits));
    }
    return true;
}

bool CheckVersionText(const std::string& option, const std::string& value, std::string& reason) {
    const std::size_t limit = option == "--product-version" ? 64 : 256;
    std::vector<std::pair<char32_t, std::string>> points;
    if (!CodePoints(value, points)) {
        reason = option + " is not UTF-8 text";
        return false;
    }
    if (value.empty()) {
        reason = option + " is empty: leave the option out to keep the default";
        return false;
    }
    if (value.front() == ' ' || value.back() == ' ') {
        reason = option + " begins or ends with a space";
        return false;
    }
    if (points.size() > limit) {
        reason = option + Printf(" takes at most %zu characters, not %zu", limit, points.size());
        return false;
    }
    for (const auto& [point, bytes] : points) {
        if (point < 0x20 || (point >= 0x7F && point < 0xA0)) {
            reason = option + Printf(
                                  " holds the control character U+%04X: a version text is one line of printable "
                                  "characters",
                                  unsigned(point));
            return false;
        }
        // Spelled when the character alone goes to code page 936 and back unchanged: a converter that
        // drops or replaces it fails the round trip.
        const std::optional<std::string> ansi = payloadrules::Utf8ToAnsi(bytes);
        if (!ansi || ansi->empty() || payloadrules::AnsiToUtf8(*ansi) != bytes) {
            const char* standIn = point == 0xA9 ? "(C)" : point == 0xAE ? "(R)" : point == 0x2122 ? "(TM)" : nullptr;
            reason = option + " holds '" + bytes + "'" + Printf(" (U+%04X)", unsigned(point)) +
                     ", which code page 936 cannot spell: Windows reads these texts in that code page" +
                     (standIn ? std::string("; write ") + standIn + " instead" : "");
            return false;
        }
    }
    return true;
}

std::string ArchiveHint(const std::vector<payloadrules::Refusal>& refusals, const std::string& command) {
    const std::string outsideRule = "lies outside Velkar/: ";
    bool backslash = false;
    std::vector<std::string> outside;
    for (const payloadrules::Refusal& r : refusals) {
        backslash = backslash || (r.name + ": " + r.rule).find("backslash") != std::string::npos;
        if (r.rule.compare(0, outsideRule.size(), outsideRule) == 0 && r.name.find('\\') == std::string::npos)
            outside.push_back(r.name);
    }
    if (backslash)
        return "hint: the archive's names hold backslashes, as some Windows tools write them; ZIP names separate "
               "folders with '/': make it again with a tool that writes '/', or give " +
               command + " the application's folder itself (" + command + " APP_DIR OUT.exe)";
    if (outside.empty())
        return "";
    const auto isProgram = [](const std::string& name) {
        const std::string tail = "velkar.exe";
        if (name.size() < tail.size())
            return false;
        std::string end = name.substr(name.size() - tail.size());
        std::transform(end.begin(), end.end(), end.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        return end == tail && (name.size() == tail.size() || name[name.size() - tail.size() - 1] == '/');
    };
    const auto program = std::find_if(outside.begin(), outside.end(), isProgram);
    if (program != outside.end() && program->find('/') == std::string::npos)
        return "hint: Velkar.exe is at the archive's top: it was made inside the application's folder; make it from "
               "the folder above, with the application's folder named Velkar (zip -r app.zip Velkar), or give " +
               command + " the folder itself (" + command + " APP_DIR OUT.exe)";
    if (program != outside.end()) {
        const std::string folder = program->substr(0, program->rfind('/'));
        return "hint: the application lies in " + folder +
               "/, not Velkar/: name its folder Velkar before making the "
               "archive, or give " +
               command + " the folder itself (" + command + " " + folder + " OUT.exe)";
    }
    return "hint: every entry must lie under Velkar/, the folder the launcher installs and starts from";
}

}  // namespace packerchecks
