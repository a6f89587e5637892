// tests/tools/swap_for_link.cpp: the packer's test seam of a swap, under Wine.
//   tools-swap-for-link FOLDER LINK TARGET [LINK TARGET]...
// When PACK_PAYLOAD_FOLDER is FOLDER (the folder the packer has just listed), removes each LINK (a file
// or a whole folder) and puts a Unix symbolic link to TARGET at its name; else does nothing. Ends once
// every link is there, so that the packer's opens that follow meet them.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"

int main(int argc, char** argv) {
    const char* folder = std::getenv("PACK_PAYLOAD_FOLDER");
    if (argc < 4 || argc % 2 != 0)
        return 2;
    if (!folder || std::string(folder) != argv[1])
        return 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string link = argv[i], target = argv[i + 1];
        if (!(test::IsFolder(link) ? test::RemoveTree(link) : DeleteFileA(link.c_str()) != 0) ||
            !test::MakeUnixLink(target, link)) {
            std::fprintf(stderr, "tools-swap-for-link: cannot put a link at %s\n", link.c_str());
            return 1;
        }
    }
    return 0;
}
