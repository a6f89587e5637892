// tools/resource_section.cpp: see resource_section.h.
#include "tools/resource_section.h"

#include <algorithm>
#include <set>

namespace resources {
namespace {

using peimage::Get16;
using peimage::Get32;
using peimage::Put16;
using peimage::Put32;
using peimage::ResourceId;

void Append16(Bytes& b, std::uint32_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
void Append32(Bytes& b, std::uint32_t v) {
    Append16(b, v & 0xFFFF);
    Append16(b, v >> 16);
}
void PadTo(Bytes& b, std::size_t alignment) { b.resize((b.size() + alignment - 1) / alignment * alignment); }

bool Refuse(std::string& reason, std::string text) {
    reason = std::move(text);
    return false;
}

bool Before(const Resource& a, const Resource& b) {
    if (!(a.type == b.type))
        return a.type < b.type;
    if (!(a.name == b.name))
        return a.name < b.name;
    return a.language < b.language;
}

std::string Describe(const ResourceId& id) {
    if (!id.named)
        return std::to_string(id.id);
    std::string out;
    for (char16_t c : id.name)
        out += c < 0x80 ? char(c) : '?';
    return out;
}

}  // namespace

bool BuildSection(std::vector<Resource> list, std::uint32_t rva, Bytes& section, std::string& reason) {
    std::sort(list.begin(), list.end(), Before);
    for (std::size_t i = 1; i < list.size(); ++i)
        if (!Before(list[i - 1], list[i]))
            return Refuse(reason, "two resources of type " + Describe(list[i].type) + ", name " +
                                      Describe(list[i].name) + " and language " + std::to_string(list[i].language));

    // The tree's shape: the types, each type's names, each name's languages, as index ranges into `list`.
    std::vector<std::size_t> typeStarts, nameStarts;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i == 0 || !(list[i].type == list[i - 1].type))
            typeStarts.push_back(i);
        if (i == 0 || !(list[i].type == list[i - 1].type) || !(list[i].name == list[i - 1].name))
            nameStarts.push_back(i);
    }
    // A table counts its named and its id entries in 16 bits each; hold every table to 65,535 entries.
    if (typeStarts.size() > 0xFFFF)
        return Refuse(reason, "more than 65,535 resource types");
    auto count = [](const std::vector<std::size_t>& starts, std::size_t index, std::size_t end) {
        return (index + 1 < starts.size() ? starts[index + 1] : end) - starts[index];
    };

    // Sizes first, so that every table knows where the next level and the strings lie.
    const std::size_t rootSize = 16 + 8 * typeStarts.size();
    std::size_t typeTablesSize = 0;
    std::vector<std::size_t> typeTable, nameTable;  // offsets
    std::vector<std::size_t> namesOfType(typeStarts.size());
    for (std::size_t t = 0, n = 0; t < typeStarts.size(); ++t) {
        const std::size_t end = t + 1 < typeStarts.size() ? typeStarts[t + 1] : list.size();
        while (n < nameStarts.size() && nameStarts[n] < end)
            ++namesOfType[t], ++n;
        if (namesOfType[t] > 0xFFFF)
            return Refuse(reason, "more than 65,535 resources of type " + Describe(list[typeStarts[t]].type));
        typeTable.push_back(rootSize + typeTablesSize);
        typeTablesSize += 16 + 8 * namesOfType[t];
    }
    std::size_t offset = rootSize + typeTablesSize;
    for (std::size_t n = 0; n < nameStarts.size(); ++n) {
        if (count(nameStarts, n, list.size()) > 0xFFFF)
            return Refuse(reason, "more than 65,535 languages of resource " + Describe(list[nameStarts[n]].name));
        nameTable.push_back(offset);
        offset += 16 + 8 * count(nameStarts, n, list.size());
    }
    // Name strings, each once, on 2-byte boundaries (offsets are even here).
    std::vector<std::pair<std::u16string, std::size_t>> strings;
    auto stringOffset = [&](const std::u16string& name) {
        for (const auto& [text, at] : strings)
            if (text == name)
                return at;
        strings.emplace_back(name, offset);
        offset += 2 + 2 * name.size();
        return strings.back().second;
    };
    for (std::size_t t = 0; t < typeStarts.size(); ++t)
        if (list[typeStarts[t]].type.named)
            stringOffset(list[typeStarts[t]].type.name);
    for (std::size_t n = 0; n < nameStarts.size(); ++n)
        if (list[nameStarts[n]].name.named)
            stringOffset(list[nameStarts[n]].name.name);
    offset = (offset + 3) / 4 * 4;
    const std::size_t dataEntries = offset;
    offset += 16 * list.size();
    std::vector<std::size_t> dataAt;
    for (const Resource& r : list) {
        offset = (offset + 7) / 8 * 8;
        dataAt.push_back(offset);
        offset += r.data.size();
        if (offset >= 0x7FFFFFFF || std::uint64_t(rva) + offset > 0xFFFFFFFFull)
            return Refuse(reason, "the resources are too large for one resource section");
    }

    Bytes out(offset);
    auto putTable = [&](std::size_t at, std::size_t named, std::size_t ids) {
        Put16(out, at + 12, std::uint32_t(named));
        Put16(out, at + 14, std::uint32_t(ids));
    };
    auto putEntry = [&](std::size_t at, const ResourceId& id, std::uint32_t target) {
        Put32(out, at, id.named ? 0x80000000u | std::uint32_t(stringOffset(id.name)) : id.id);
        Put32(out, at + 4, target);
    };
    std::size_t namedTypes = 0;
    for (std::size_t t = 0; t < typeStarts.size(); ++t)
        namedTypes += list[typeStarts[t]].type.named;
    putTable(0, namedTypes, typeStarts.size() - namedTypes);
    for (std::size_t t = 0, n = 0; t < typeStarts.size(); ++t) {
        putEntry(16 + 8 * t, list[typeStarts[t]].type, 0x80000000u | std::uint32_t(typeTable[t]));
        std::size_t named = 0;
        for (std::size_t k = 0; k < namesOfType[t]; ++k, ++n) {
            named += list[nameStarts[n]].name.named;
            putEntry(typeTable[t] + 16 + 8 * k, list[nameStarts[n]].name, 0x80000000u | std::uint32_t(nameTable[n]));
            const std::size_t languages = count(nameStarts, n, list.size());
            putTable(nameTable[n], 0, languages);
            for (std::size_t l = 0; l < languages; ++l) {
                const std::size_t i = nameStarts[n] + l;
                putEntry(nameTable[n] + 16 + 8 * l, ResourceId::Id(list[i].language),
                         std::uint32_t(dataEntries + 16 * i));
            }
        }
        putTable(typeTable[t], named, namesOfType[t] - named);
    }
    for (const auto& [text, at] : strings) {
        Put16(out, at, std::uint32_t(text.size()));
        for (std::size_t c = 0; c < text.size(); ++c)
            Put16(out, at + 2 + 2 * c, text[c]);
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::size_t entry = dataEntries + 16 * i;
        Put32(out, entry, rva + std::uint32_t(dataAt[i]));
        Put32(out, entry + 4, std::uint32_t(list[i].data.size()));
        Put32(out, entry + 8, list[i].codePage);
        std::copy(list[i].data.begin(), list[i].data.end(), out.begin() + std::ptrdiff_t(dataAt[i]));
    }
    section = std::move(out);
    return true;
}

bool ReadIconFile(const Bytes& file, std::vector<IconImage>& images, std::string& reason) {
    images.clear();
    if (file.size() < 6)
        return Refuse(reason, std::to_string(file.size()) + " bytes: too short for an icon's header (6 bytes)");
    if (Get16(file, 0) != 0 || (Get16(file, 2) != 1 && Get16(file, 2) != 2))
        return Refuse(reason, "not an icon (.ico): its header is not an icon's");
    if (Get16(file, 2) == 2)
        return Refuse(reason, "a cursor (.cur), not an icon (.ico)");
    const std::size_t count = Get16(file, 4);
    if (count == 0)
        return Refuse(reason, "the icon holds no image");
    if (file.size() < 6 + 16 * count)
        return Refuse(reason, "the icon's directory of " + std::to_string(count) + " images runs past the file");
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t e = 6 + 16 * i;
        const std::uint64_t size = Get32(file, e + 8), at = Get32(file, e + 12);
        if (size == 0 || at < 6 + 16 * count || at > file.size() || size > file.size() - at)
            return Refuse(reason, "image " + std::to_string(i + 1) + " (" + std::to_string(size) + " bytes at " +
                                      std::to_string(at) + ") does not lie within the file after the directory");
        IconImage image;
        image.width = file[e];
        image.height = file[e + 1];
        image.colours = file[e + 2];
        image.reserved = file[e + 3];
        image.planes = Get16(file, e + 4);
        image.bitCount = Get16(file, e + 6);
        image.data.assign(file.begin() + std::ptrdiff_t(at), file.begin() + std::ptrdiff_t(at + size));
        images.push_back(std::move(image));
    }
    return true;
}

bool SetIconGroup(std::vector<Resource>& list, const std::u16string& group, const std::vector<IconImage>& images,
                  std::uint16_t language, std::string& reason) {
    if (images.empty() || images.size() > 0xFFFF)
        return Refuse(reason, "an icon group holds 1 to 65,535 images");
    const ResourceId name = ResourceId::Name(group);
    // The icons each group names, so that an icon another group still uses stays.
    std::set<std::uint16_t> replacedIcons, keptIcons;
    bool replaced = false;
    for (const Resource& r : list) {
        if (r.type.named || r.type.id != peimage::kTypeGroupIcon)
            continue;
        const Bytes& d = r.data;
        if (d.size() < 6 || d.size() < 6 + 14ull * Get16(d, 4))
            return Refuse(reason,
                          "the icon group " + Describe(r.name) + " is damaged: its directory runs past its data");
        const bool mine = r.name == name;
        if (mine && !replaced) {
            replaced = true;
            language = r.language;
        }
        for (std::size_t i = 0; i < Get16(d, 4); ++i)
            (mine ? replacedIcons : keptIcons).insert(Get16(d, 6 + 14 * i + 12));
    }
    std::set<std::uint16_t> used;
    std::vector<Resource> kept;
    for (Resource& r : list) {
        const bool icon = !r.type.named && r.type.id == peimage::kTypeIcon && !r.name.named;
        if (!r.type.named && r.type.id == peimage::kTypeGroupIcon && r.name == name)
            continue;
        if (icon && replacedIcons.count(r.name.id) && !keptIcons.count(r.name.id))
            continue;
        if (!r.type.named && r.type.id == peimage::kTypeIcon)
            used.insert(r.name.id);
        kept.push_back(std::move(r));
    }
    Resource directory{ResourceId::Id(peimage::kTypeGroupIcon), name, language, 0, {}};
    Bytes& g = directory.data;
    Append16(g, 0);
    Append16(g, 1);
    Append16(g, std::uint32_t(images.size()));
    std::uint16_t next = 1;
    for (const IconImage& image : images) {
        while (used.count(next))
            ++next;
        if (next == 0)
            return Refuse(reason, "no free icon id is left");
        used.insert(next);
        g.push_back(image.width);
        g.push_back(image.height);
        g.push_back(image.colours);
        g.push_back(image.reserved);
        Append16(g, image.planes);
        Append16(g, image.bitCount);
        Append32(g, std::uint32_t(image.data.size()));
        Append16(g, next);
        kept.push_back({ResourceId::Id(peimage::kTypeIcon), ResourceId::Id(next), language, 0, image.data});
    }
    kept.push_back(std::move(directory));
    list = std::move(kept);
    return true;
}

namespace {

// One node of a version block: its header, its key, its value and its children, each on a 4-byte
// boundary. The node's length stops at its last byte: padding after it belongs to whatever follows.
Bytes VersionNode(const std::u16string& key, const Bytes& value, std::uint32_t valueLength, bool text,
                  const std::vector<Bytes>& children) {
    Bytes node(6);
    for (char16_t c : key)
        Append16(node, c);
    Append16(node, 0);
    PadTo(node, 4);
    node.insert(node.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        PadTo(node, 4);
        node.insert(node.end(), child.begin(), child.end());
    }
    Put16(node, 0, std::uint32_t(node.size()));
    Put16(node, 2, valueLength);
    Put16(node, 4, text ? 1 : 0);
    return node;
}

}  // namespace

bool BuildVersionInfo(const VersionInfo& info, Bytes& block, std::string& reason) {
    Bytes fixed;
    Append32(fixed, 0xFEEF04BD);
    Append32(fixed, 0x00010000);
    Append32(fixed, std::uint32_t(info.fileVersion[0]) << 16 | info.fileVersion[1]);
    Append32(fixed, std::uint32_t(info.fileVersion[2]) << 16 | info.fileVersion[3]);
    Append32(fixed, std::uint32_t(info.productVersion[0]) << 16 | info.productVersion[1]);
    Append32(fixed, std::uint32_t(info.productVersion[2]) << 16 | info.productVersion[3]);
    for (std::uint32_t v : {info.fileFlagsMask, info.fileFlags, info.fileOs, info.fileType, info.fileSubtype, 0u, 0u})
        Append32(fixed, v);

    std::vector<Bytes> strings;
    std::size_t total = 0;
    for (const auto& [key, text] : info.strings) {
        Bytes value;
        for (char16_t c : text)
            Append16(value, c);
        Append16(value, 0);
        if (key.empty() || key.size() + text.size() > 0x3000)
            return Refuse(reason, "a version text must have a name and stay under 12,288 characters");
        strings.push_back(VersionNode(key, value, std::uint32_t(text.size() + 1), true, {}));
        total += strings.back().size() + 4;
    }
    if (total > 0xF000)
        return Refuse(reason, "the version texts are longer than a version block can hold");
    static const char digits[] = "0123456789abcdef";
    std::u16string tableKey;
    for (int shift = 28; shift >= 0; shift -= 4)
        tableKey += char16_t(digits[((std::uint32_t(info.language) << 16 | info.codePage) >> shift) & 15]);
    const Bytes table = VersionNode(tableKey, {}, 0, true, strings);
    const Bytes stringInfo = VersionNode(u"StringFileInfo", {}, 0, true, {table});
    Bytes translation;
    Append16(translation, info.language);
    Append16(translation, info.codePage);
    const Bytes var = VersionNode(u"Translation", translation, 4, false, {});
    const Bytes varInfo = VersionNode(u"VarFileInfo", {}, 0, true, {var});
    block = VersionNode(u"VS_VERSION_INFO", fixed, std::uint32_t(fixed.size()), false, {stringInfo, varInfo});
    return true;
}

void SetResource(std::vector<Resource>& list, std::uint16_t type, const Bytes& data, std::uint16_t language) {
    auto same = [&](const Resource& r) { return !r.type.named && r.type.id == type && r.name == ResourceId::Id(1); };
    auto replaced = std::find_if(list.begin(), list.end(), same);
    if (replaced != list.end())
        language = replaced->language;
    std::erase_if(list, same);
    list.push_back({ResourceId::Id(type), ResourceId::Id(1), language, 0, data});
}

bool Utf16FromUtf8(const std::string& text, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80                   ? 0
                          : lead >= 0xC2 && lead < 0xE0 ? 1
                          : lead >= 0xE0 && lead < 0xF0 ? 2
                          : lead >= 0xF0 && lead < 0xF5 ? 3
                                                        : -1;
        if (extra < 0 || i + extra >= text.size() + (extra ? 0 : 1))
            return false;
        std::uint32_t c = extra ? lead & (0x3F >> extra) : lead;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = c << 6 | (next & 0x3F);
        }
        static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            return false;
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += std::size_t(extra) + 1;
    }
    return true;
}

}  // namespace resources
