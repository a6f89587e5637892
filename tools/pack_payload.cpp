// tools/pack_payload.cpp: pack-payload OUT.zip SRC_DIR [--time UNIX_SECONDS]
// Packs the contents of SRC_DIR into a payload archive: SRC_DIR/Velkar/... gives the entries
// "Velkar/", "Velkar/Velkar.exe", ... Each folder comes before its contents; inside a folder the files
// come first, then the subfolders, each group in byte order of the names, so the same tree always
// gives the same archive. --time gives every entry that time (reproducible builds); without it the
// files' own times are used. Runs on the build machine.
#include "tools/zip_writer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;
using zipwriter::Entry;

namespace {

struct Packer {
    bool fixedTime = false;
    std::int64_t time = 0;
    std::vector<Entry> entries;

    void SetTimes(Entry& e, const struct stat& info) {
        if (fixedTime) {
            zipwriter::SetEntryTime(e, time);
            return;
        }
        zipwriter::DosFromUnixTime(info.st_mtime, e.dosDate, e.dosTime);
        e.writeTime = zipwriter::FileTimeFromUnixTime(info.st_mtime);
        e.accessTime = zipwriter::FileTimeFromUnixTime(info.st_atime);
        e.creationTime = e.writeTime;  // the build machine keeps no creation time
    }

    bool AddFolder(const fs::path& folder, const std::string& prefix) {
        std::vector<std::string> files, folders;
        std::error_code error;
        for (const fs::directory_entry& item : fs::directory_iterator(folder, error)) {
            const std::string name = item.path().filename().string();
            if (item.is_directory())
                folders.push_back(name);
            else if (item.is_regular_file())
                files.push_back(name);
        }
        if (error) {
            std::cerr << "pack-payload: cannot list " << folder << ": " << error.message() << "\n";
            return false;
        }
        std::sort(files.begin(), files.end());
        std::sort(folders.begin(), folders.end());
        for (const std::string& name : files) {
            const fs::path path = folder / name;
            struct stat info {};
            std::ifstream in(path, std::ios::binary);
            if (stat(path.c_str(), &info) != 0 || !in) {
                std::cerr << "pack-payload: cannot read " << path << "\n";
                return false;
            }
            std::ostringstream bytes;
            bytes << in.rdbuf();
            Entry e;
            e.name = prefix + name;
            e.data = bytes.str();
            SetTimes(e, info);
            entries.push_back(std::move(e));
        }
        for (const std::string& name : folders) {
            const fs::path path = folder / name;
            struct stat info {};
            if (stat(path.c_str(), &info) != 0) {
                std::cerr << "pack-payload: cannot read " << path << "\n";
                return false;
            }
            Entry e;
            e.name = prefix + name + "/";
            e.folder = true;
            SetTimes(e, info);
            entries.push_back(std::move(e));
            if (!AddFolder(path, prefix + name + "/"))
                return false;
        }
        return true;
    }
};

int Usage() {
    std::cerr << "usage: pack-payload OUT.zip SRC_DIR [--time UNIX_SECONDS]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5)
        return Usage();
    Packer packer;
    if (argc == 5) {
        if (std::string(argv[3]) != "--time")
            return Usage();
        char* end = nullptr;
        packer.time = std::strtoll(argv[4], &end, 10);
        if (end == argv[4] || *end != '\0')
            return Usage();
        packer.fixedTime = true;
    }
    const fs::path out = argv[1];
    if (!fs::is_directory(argv[2])) {
        std::cerr << "pack-payload: " << argv[2] << " is not a folder\n";
        return 1;
    }
    if (!packer.AddFolder(argv[2], ""))
        return 1;
    const std::string archive = zipwriter::BuildArchive(packer.entries);
    // Write beside the target and rename, so that a failed run never leaves a half archive that
    // looks up to date to the build.
    const fs::path temporary = out.string() + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(archive.data(), static_cast<std::streamsize>(archive.size()));
        file.close();
        if (!file) {
            std::cerr << "pack-payload: cannot write " << temporary << "\n";
            std::remove(temporary.c_str());
            return 1;
        }
    }
    std::error_code error;
    fs::rename(temporary, out, error);
    if (error) {
        std::cerr << "pack-payload: cannot write " << out << ": " << error.message() << "\n";
        return 1;
    }
    return 0;
}
