// tools/make_full_size_archive.cpp: make-full-size-archive [--scale] OUT.zip
// Writes the full-size test archive (tools/full_size_archive.h) for the tests and the benchmarks; with
// --scale, the same archive at the scale of a large application (21,112 entries).
#include "tools/full_size_archive.h"

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    const bool scale = argc == 3 && std::string(argv[1]) == "--scale";
    if (argc != 2 && !scale) {
        std::cerr << "usage: make-full-size-archive [--scale] OUT.zip\n";
        return 2;
    }
    const std::string archive =
        zipwriter::BuildArchive(scale ? zipwriter::ScaleArchiveEntries() : zipwriter::FullSizeArchiveEntries());
    const std::string temporary = std::string(argv[argc - 1]) + ".part";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(archive.data(), static_cast<std::streamsize>(archive.size()));
    file.close();
    if (!file || std::rename(temporary.c_str(), argv[argc - 1]) != 0) {
        std::cerr << "make-full-size-archive: cannot write " << argv[argc - 1] << "\n";
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
