// tools/full_size_archive.cpp: contents and layout of the full-size test archive.
#include "tools/full_size_archive.h"

#include <cstdio>

namespace zipwriter {
namespace {

struct FileSpec {
    const char* name;
    std::uint32_t size;
    int randomPercent;  // share of incompressible bytes; the rest is repetitive text
};

// Size 0 marks a folder; no name is longer than 32 bytes, as in the payload.
const FileSpec kLayout[] = {
    {"Velkar/", 0, 0},
    {"Velkar/Velkar.exe", 2881272, 99},
    {"Velkar/Uninstall.exe", 412160, 69},
    {"Velkar/Velkar.ini", 2345, 0},
    {"Velkar/VelkarCore.dll", 1843200, 69},
    {"Velkar/VelkarNet.dll", 2506752, 69},
    {"Velkar/VelkarUi.dll", 987136, 69},
    {"Velkar/zlibwapi.dll", 1310720, 69},
    {"Velkar/Resources/", 0, 0},
    {"Velkar/Resources/Updater.exe", 1245184, 69},
    {"Velkar/Resources/Reporter.exe", 862208, 69},
    {"Velkar/Resources/Helper.exe", 318464, 69},
    {"Velkar/Resources/CrashSender.exe", 655360, 69},
    {"Velkar/Resources/Setup.exe", 2097152, 69},
    {"Velkar/Resources/Render.dll", 3145728, 69},
    {"Velkar/Resources/Audio.dll", 720896, 69},
    {"Velkar/Resources/Script.dll", 1048576, 69},
    {"Velkar/Resources/Physics.dll", 2228224, 69},
    {"Velkar/Resources/Network.dll", 1572864, 69},
    {"Velkar/Resources/logo.png", 48213, 100},
    {"Velkar/Resources/banner.png", 102877, 100},
    {"Velkar/Resources/icon16.png", 15342, 100},
    {"Velkar/Resources/splash.png", 230101, 100},
    {"Velkar/Resources/button.png", 77777, 100},
    {"Velkar/Resources/close.png", 5120, 100},
    {"Velkar/Resources/frame.png", 64000, 100},
    {"Velkar/Resources/loading.gif", 133333, 100},
    {"Velkar/Resources/spinner.gif", 9876, 100},
    {"Velkar/Resources/cursor.gif", 42424, 100},
    {"Velkar/Resources/background.png", 180000, 100},
    {"Velkar/Resources/check.gif", 12345, 100},
    {"Velkar/Resources/Resources.ini", 1024, 0},
    {"Velkar/Resources/Resources.cfg", 3210, 0},
    {"Velkar/Resources/Interface.res", 2621440, 69},
    {"Velkar/Resources/Sounds.res", 1966080, 69},
    {"Velkar/Resources/Content.7z", 4314004, 100},
    {"Velkar/Resources/Help/", 0, 0},
    {"Velkar/Resources/Help/en.txt", 8192, 0},
    {"Velkar/Resources/Help/zh-CN.txt", 9001, 0},
    {"Velkar/Resources/Help/zh-HK.txt", 8765, 0},
    {"Velkar/Resources/Help/zh-TW.txt", 8888, 0},
    {"Velkar/Resources/Get/", 0, 0},
    {"Velkar/Resources/Get/Fetch.exe", 1536000, 69},
    {"Velkar/Resources/Lang/", 0, 0},
    {"Velkar/Resources/Lang/en.ini", 4321, 0},
    {"Velkar/Resources/Lang/zh-CN.ini", 6100, 0},
    {"Velkar/Resources/Lang/zh-HK.ini", 5800, 0},
    {"Velkar/Resources/Lang/zh-TW.ini", 6400, 0},
    {"Velkar/Plugins/", 0, 0},
    {"Velkar/Plugins/Extension.dll", 4194304, 69},
};

std::uint64_t NextRandom(std::uint64_t& state) {  // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string FileData(const FileSpec& entry, std::uint64_t& state) {
    std::string data(entry.size, '\0');
    const std::size_t randomBytes = static_cast<std::size_t>(entry.size) * entry.randomPercent / 100;
    std::size_t i = 0;
    while (i < randomBytes) {
        std::uint64_t r = NextRandom(state);
        for (int k = 0; k < 8 && i < randomBytes; ++k, ++i)
            data[i] = static_cast<char>(r >> (8 * k));
    }
    static const char kText[] = "Velkar setting = value ; the rest of this file is text\r\n";
    for (std::size_t k = 0; i < data.size(); ++i, ++k)
        data[i] = kText[k % (sizeof kText - 1)];
    return data;
}

}  // namespace

std::vector<Entry> FullSizeArchiveEntries() {
    std::vector<Entry> entries;
    std::uint64_t state = 0x4B657374726C3231ull;  // fixed seed
    for (const FileSpec& entry : kLayout) {
        Entry e;
        e.name = entry.name;
        e.folder = entry.size == 0;
        if (!e.folder)
            e.data = FileData(entry, state);
        SetEntryTime(e, kFullSizeArchiveTime);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<Entry> ScaleArchiveEntries() {
    std::vector<Entry> entries = FullSizeArchiveEntries();
    std::uint64_t state = 0x4B657374726C3232ull;  // fixed seed
    const auto add = [&](const std::string& name, std::uint32_t size) {
        if (entries.size() == kScaleArchiveEntries)
            return false;
        Entry e;
        e.name = name;
        e.folder = size == 0;
        if (!e.folder)
            e.data = FileData(FileSpec{nullptr, size, 50}, state);
        SetEntryTime(e, kFullSizeArchiveTime);
        entries.push_back(std::move(e));
        return true;
    };
    char name[64];
    (void)add("Velkar/lib/", 0);
    for (int package = 0; entries.size() < kScaleArchiveEntries; ++package) {
        std::snprintf(name, sizeof name, "Velkar/lib/p%03d/", package);
        (void)add(name, 0);
        for (int module = 0; module < 20; ++module) {
            std::snprintf(name, sizeof name, "Velkar/lib/p%03d/m%02d/", package, module);
            (void)add(name, 0);
            for (int file = 0; file < 25; ++file) {
                std::snprintf(name, sizeof name, "Velkar/lib/p%03d/m%02d/f%02d.js", package, module, file);
                (void)add(name, static_cast<std::uint32_t>(256 + NextRandom(state) % 7936));
            }
        }
    }
    return entries;
}

}  // namespace zipwriter
