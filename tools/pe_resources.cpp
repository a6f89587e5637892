// pe-resources: writes the launcher's icon, version block and manifest into a built launcher.exe, or
// lists its resources, through the packer's own reader and writer of the image (tools/pe_image.h,
// tools/resource_section.h).
//   pe-resources IN.exe OUT.exe [--icon FILE.ico] [--version A.B.C.D] [--text NAME=VALUE]... [--manifest FILE]
//   pe-resources --list IN.exe
//   pe-resources pack PREBUILT.exe ARCHIVE.zip OUT.exe [--icon FILE.ico] [--version A.B.C.D]
//                [--text NAME=VALUE]... [--manifest FILE] [--setting NAME]...
// --version or --text rewrites the version block with the launcher's texts (launcher/launcher.rc), the
// version given (default 1.0.0.0) and the texts given (UTF-8; a new name is added after the others). What
// is not named stays as it is. Exit 0 done, 1 refused (one line: the file and the reason), 2 a mistake
// on the command line.
// pack makes a packed launcher from the prebuilt one and the archive (tools/launcher_image.h): the version
// block is made new from the version and texts given over the launcher's defaults; an icon or manifest
// not given stays the prebuilt launcher's. --setting NAME says that the --icon or --text after it is the
// build setting NAME's (LAUNCHER_ICON_FILE, LAUNCHER_COMPANY, ...): that input is checked first as the
// packer checks its own (tools/packer_checks.h), and a refusal names the setting, so that a bad icon or
// text stops the build with a line saying which setting to change, and nothing is written.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/launcher_image.h"
#include "tools/packer_checks.h"
#include "tools/pe_image.h"
#include "tools/resource_section.h"

namespace {

using peimage::Bytes;

bool ReadFile(const std::string& path, Bytes& bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

int Usage(const char* why) {
    std::fprintf(stderr,
                 "pe-resources: %s\n"
                 "usage: pe-resources IN.exe OUT.exe [--icon FILE.ico] [--version A.B.C.D] "
                 "[--text NAME=VALUE]... [--manifest FILE]\n"
                 "       pe-resources --list IN.exe\n"
                 "       pe-resources pack PREBUILT.exe ARCHIVE.zip OUT.exe [--icon FILE.ico] [--version A.B.C.D] "
                 "[--text NAME=VALUE]... [--manifest FILE] [--setting NAME]...\n",
                 why);
    return 2;
}

int Refused(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "pe-resources: %s: %s\n", file.c_str(), reason.c_str());
    return 1;
}

bool ParseVersion(const std::string& text, std::array<std::uint16_t, 4>& version) {
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t end = at;
        std::uint32_t value = 0;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - at < 5)
            value = value * 10 + std::uint32_t(text[end++] - '0');
        if (end == at || value > 0xFFFF || (i < 3 ? end >= text.size() || text[end] != '.' : end != text.size()))
            return false;
        version[i] = std::uint16_t(value);
        at = end + 1;
    }
    return true;
}

std::string Utf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 0x3F)), out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Written beside the output and moved into place whole, so that a failed write leaves no half launcher;
// with the permissions of the launcher it was made from, so that a program stays one the system runs.
bool WriteWhole(const std::string& out, const Bytes& bytes, const std::string& from) {
    const std::string part = out + ".part";
    std::ofstream output(part, std::ios::binary | std::ios::trunc);
    output.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    output.close();
    std::error_code ignored;  // a file system without permissions keeps its own
    std::filesystem::permissions(part, std::filesystem::status(from, ignored).permissions(), ignored);
    // Windows' rename does not replace an existing file: the earlier output goes first there.
    const bool moved = output && (std::rename(part.c_str(), out.c_str()) == 0 ||
                                  (std::remove(out.c_str()) == 0 && std::rename(part.c_str(), out.c_str()) == 0));
    if (!moved)
        std::remove(part.c_str());
    return moved;
}

// Reads the image at `path` and its resources; false when it cannot, the refusal already said.
bool LoadImage(const std::string& path, peimage::Image& image, std::vector<peimage::Resource>& list) {
    Bytes file;
    std::string reason = "cannot be read";
    if (ReadFile(path, file) && peimage::ReadImage(std::move(file), image, reason) &&
        peimage::ReadResources(image, list, reason))
        return true;
    Refused(path, reason);
    return false;
}

int List(const std::string& path) {
    peimage::Image image;
    std::vector<peimage::Resource> list;
    if (!LoadImage(path, image, list))
        return 1;
    for (const peimage::Resource& r : list) {
        auto id = [](const peimage::ResourceId& i) { return i.named ? Utf8(i.name) : std::to_string(i.id); };
        std::printf("%s %s %u %zu\n", id(r.type).c_str(), id(r.name).c_str(), unsigned(r.language), r.data.size());
    }
    std::printf("checksum %08x computed %08x\n", unsigned(image.checksum),
                unsigned(peimage::Checksum(image.file, image.optionalOffset + 64)));
    return 0;
}

int Pack(const std::vector<std::string>& args) {
    if (args.size() < 4 || args[1].starts_with("--") || args[2].starts_with("--") || args[3].starts_with("--"))
        return Usage("pack names the prebuilt launcher, the archive and the output first");
    const std::string prebuiltPath = args[1], archivePath = args[2], out = args[3];
    launcherimage::Settings settings;
    std::string iconPath, manifestPath;
    std::string setting, iconSetting;  // the setting the next --icon or --text came from; the icon's
    // A refusal removes the launcher an earlier pack wrote to `out`, so that a build stopped by a bad
    // input leaves no launcher with the earlier inputs to be taken for the new one; never an input.
    const auto removeEarlier = [&] {
        std::error_code ignored;
        bool input = false;
        for (const std::string& path : {prebuiltPath, archivePath, iconPath, manifestPath})
            input = input || (!path.empty() && std::filesystem::equivalent(path, out, ignored));
        if (!input)
            std::filesystem::remove(out, ignored);
    };
    const auto refuse = [&](const std::string& file, const std::string& reason) {
        removeEarlier();
        return Refused(file, reason);
    };
    for (std::size_t i = 4; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size())
            return Usage((option + " needs a value").c_str());
        const std::string& value = args[++i];
        if (option == "--setting") {
            if (value.empty() || value.starts_with("--"))
                return Usage("--setting takes the name of the build setting the next --icon or --text came from");
            setting = value;
            continue;
        }
        if (!setting.empty() && option != "--icon" && option != "--text")
            return Usage("--setting goes just before the --icon or --text it names");
        if (option == "--icon") {
            iconPath = value;
            iconSetting = setting;
        } else if (option == "--manifest") {
            manifestPath = value;
        } else if (option == "--version") {
            if (!ParseVersion(value, settings.version))
                return Usage("--version takes four numbers of 0 to 65535, A.B.C.D");
        } else if (option == "--text") {
            const std::size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0)
                return Usage("--text takes NAME=VALUE in UTF-8");
            std::string reason;
            // The refusal names the setting itself, as the packer's name its options.
            if (!setting.empty() && !packerchecks::CheckVersionText(setting, value.substr(equals + 1), reason)) {
                removeEarlier();
                std::fprintf(stderr, "pe-resources: %s\n", reason.c_str());
                return 1;
            }
            settings.texts.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        } else {
            return Usage(("unknown option " + option).c_str());
        }
        setting.clear();
    }
    if (!setting.empty())
        return Usage("--setting goes just before the --icon or --text it names");
    Bytes prebuilt, archive;
    std::string reason;
    if (!ReadFile(prebuiltPath, prebuilt))
        return refuse(prebuiltPath, "cannot be read");
    if (!ReadFile(archivePath, archive))
        return refuse(archivePath, "cannot be read");
    if (!iconPath.empty()) {
        Bytes ico;
        std::vector<resources::IconImage> images;
        if (!ReadFile(iconPath, ico))
            return refuse(iconSetting.empty() ? iconPath : iconSetting + " " + iconPath, "cannot be read");
        std::vector<packerchecks::IconFacts> facts;
        if (!iconSetting.empty() && !packerchecks::CheckIcon(std::string(ico.begin(), ico.end()), facts, reason))
            return refuse(iconSetting + " " + iconPath, reason);
        if (!resources::ReadIconFile(ico, images, reason))
            return refuse(iconPath, reason);
        settings.icon = std::move(images);
    }
    if (!manifestPath.empty()) {
        Bytes manifest;
        if (!ReadFile(manifestPath, manifest))
            return refuse(manifestPath, "cannot be read");
        settings.manifest = std::move(manifest);
    }
    Bytes packed;
    launcherimage::Place place;
    if (!launcherimage::Pack(prebuilt, archive, settings, packed, place, reason))
        return refuse(prebuiltPath, reason);
    if (!WriteWhole(out, packed, prebuiltPath))
        return refuse(out, "could not be written");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--list")
        return List(args[1]);
    if (!args.empty() && args[0] == "pack")
        return Pack(args);
    if (args.size() < 2 || args[0].starts_with("--") || args[1].starts_with("--"))
        return Usage("name the input and the output launcher first");
    const std::string in = args[0], out = args[1];
    std::string iconPath, manifestPath;
    bool version = false;
    // The texts the build writes (launcher/launcher.rc), in its order; the version texts follow the numbers.
    resources::VersionInfo info;
    info.strings = {{u"FileDescription", u"檀溪舟楫"},
                    {u"FileVersion", u""},
                    {u"ProductName", u"檀溪舟楫"},
                    {u"ProductVersion", u""},
                    {u"OriginalFilename", u"launcher.exe"}};
    std::string versionText = "1.0.0.0";
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size())
            return Usage((option + " needs a value").c_str());
        const std::string& value = args[++i];
        if (option == "--icon") {
            iconPath = value;
        } else if (option == "--manifest") {
            manifestPath = value;
        } else if (option == "--version") {
            if (!ParseVersion(value, info.fileVersion))
                return Usage("--version takes four numbers of 0 to 65535, A.B.C.D");
            info.productVersion = info.fileVersion;
            versionText = value;
            version = true;
        } else if (option == "--text") {
            const std::size_t equals = value.find('=');
            std::u16string name, text;
            if (equals == std::string::npos || equals == 0 ||
                !resources::Utf16FromUtf8(value.substr(0, equals), name) ||
                !resources::Utf16FromUtf8(value.substr(equals + 1), text))
                return Usage("--text takes NAME=VALUE in UTF-8");
            auto known =
                std::find_if(info.strings.begin(), info.strings.end(), [&](const auto& s) { return s.first == name; });
            if (known == info.strings.end())
                info.strings.emplace_back(name, text);
            else
                known->second = text;
            version = true;
        } else {
            return Usage(("unknown option " + option).c_str());
        }
    }
    std::u16string dots;
    (void)resources::Utf16FromUtf8(versionText, dots);  // ASCII digits and dots
    for (auto& [name, text] : info.strings)
        if ((name == u"FileVersion" || name == u"ProductVersion") && text.empty())
            text = dots;

    peimage::Image image;
    std::vector<peimage::Resource> list;
    if (!LoadImage(in, image, list))
        return 1;
    std::string reason;
    // Rewriting the resources of a packed launcher would move its archive section, and its record would
    // then name an address where the archive no longer lies: a packed launcher is packed anew instead.
    launcherimage::Place packed;
    if (launcherimage::FindArchive(image, packed, reason))
        return Refused(in,
                       "a packed launcher (it carries an archive): its resources are written by packing the "
                       "prebuilt launcher again (pe-resources pack)");
    // New resources take the language the build gives them: that of the version block it wrote, if any.
    std::uint16_t language = 0x0409;  // the resource compiler's default, LANG_ENGLISH/US
    for (const peimage::Resource& r : list)
        if (!r.type.named && r.type.id == peimage::kTypeVersion)
            language = r.language;
    if (!iconPath.empty()) {
        Bytes ico;
        std::vector<resources::IconImage> images;
        if (!ReadFile(iconPath, ico))
            return Refused(iconPath, "cannot be read");
        if (!resources::ReadIconFile(ico, images, reason) ||
            !resources::SetIconGroup(list, u"DEFAULT_ICON", images, language, reason))
            return Refused(iconPath, reason);
    }
    if (version) {
        Bytes block;
        if (!resources::BuildVersionInfo(info, block, reason))
            return Refused(in, reason);
        resources::SetResource(list, peimage::kTypeVersion, block, language);
    }
    if (!manifestPath.empty()) {
        Bytes manifest;
        if (!ReadFile(manifestPath, manifest))
            return Refused(manifestPath, "cannot be read");
        resources::SetResource(list, peimage::kTypeManifest, manifest, language);
    }
    std::uint32_t rva = 0;
    Bytes section;
    if (!peimage::ResourceSectionAddress(image, rva, reason) || !resources::BuildSection(list, rva, section, reason) ||
        !peimage::ReplaceResourceSection(image, section, reason))
        return Refused(in, reason);
    if (!WriteWhole(out, image.file, in))
        return Refused(out, "could not be written");
    return 0;
}
