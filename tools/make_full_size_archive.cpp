// tools/make_full_size_archive.cpp: make-full-size-archive OUT.zip
// Writes the full-size test archive (tools/full_size_archive.h) for the tests and the benchmark.
#include "tools/full_size_archive.h"

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make-full-size-archive OUT.zip\n";
        return 2;
    }
    const std::string archive = zipwriter::BuildArchive(zipwriter::FullSizeArchiveEntries());
    const std::string temporary = std::string(argv[1]) + ".part";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(archive.data(), static_cast<std::streamsize>(archive.size()));
    file.close();
    if (!file || std::rename(temporary.c_str(), argv[1]) != 0) {
        std::cerr << "make-full-size-archive: cannot write " << argv[1] << "\n";
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
