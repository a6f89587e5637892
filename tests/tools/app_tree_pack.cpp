// tests/tools/app_tree_pack.cpp: the Windows tree reader and file system driven as the packer drives
// them, for the tests that hold them to the Linux packer's results.
//   tools-app-tree-pack APP_DIR OUT.zip [--time UNIX_SECONDS]
//       Reads APP_DIR as "Velkar/" with the checks, and writes the archive the packer would; a refusal
//       is printed as "refused<TAB>NAME<TAB>RULE" (UTF-8) and nothing is written (exit code 1).
//   tools-app-tree-pack --echo ARG...
//       Prints each argument as it arrived, in hexadecimal, one a line: how a started program reads
//       the command line another one quoted.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/app_tree.h"
#include "tools/host_files.h"
#include "tools/zip_writer.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = hostfiles::Arguments(argc, argv);
    if (arguments.size() >= 2 && arguments[1] == "--echo") {
        for (std::size_t i = 2; i < arguments.size(); ++i) {
            for (const char c : arguments[i])
                std::printf("%02x", static_cast<unsigned char>(c));
            std::printf("\n");
        }
        return 0;
    }
    apptree::Options options;
    options.checked = true;
    if (arguments.size() == 5 && arguments[3] == "--time") {
        options.fixedTime = true;
        options.time = std::strtoll(arguments[4].c_str(), nullptr, 10);
    } else if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: tools-app-tree-pack APP_DIR OUT.zip [--time UNIX_SECONDS]\n");
        return 2;
    }
    apptree::Tree tree;
    if (!apptree::ReadTree(arguments[1], payloadrules::kTopFolder, true, options, tree))
        return 3;
    for (payloadrules::Refusal& refusal : payloadrules::Check(tree.items, arguments[1]))
        tree.refusals.push_back(std::move(refusal));
    if (!tree.refusals.empty()) {
        for (const payloadrules::Refusal& refusal : tree.refusals)
            std::printf("refused\t%s\t%s\n", refusal.name.c_str(), refusal.rule.c_str());
        return 1;
    }
    const std::string archive = zipwriter::BuildArchive(tree.entries);
    const std::string part = arguments[2] + ".part";
    std::string error;
    if (!hostfiles::RemoveFile(part, error) || !hostfiles::WriteNew(part, archive, error) ||
        !hostfiles::Replace(part, arguments[2], error)) {
        std::fprintf(stderr, "tools-app-tree-pack: cannot write %s: %s\n", arguments[2].c_str(), error.c_str());
        return 3;
    }
    return 0;
}
