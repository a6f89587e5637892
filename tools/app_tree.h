// tools/app_tree.h: an application's folder read for packing, on Linux and on Windows alike. Each folder
// is held while its children are opened relative to it; a checked read never follows a link, takes each
// entry's kind from the open handle and reads a file's bytes through that same handle, so a name swapped
// for a link while packing is refused, not read through.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/payload_rules.h"
#include "tools/zip_writer.h"

namespace apptree {

struct Options {
    bool checked = false;    // an application's folder: names become code page 936 bytes, links refused
    bool fixedTime = false;  // every entry gets `time` (reproducible builds), else the files' own times
    std::int64_t time = 0;
    bool progress = false;  // a line a second on standard error while reading
};

struct Tree {
    std::vector<zipwriter::Entry> entries;  // in the archive's order
    std::vector<payloadrules::Item> items;  // what the checks see, one per entry
    std::vector<payloadrules::Refusal> refusals;
    std::uint64_t bytesRead = 0;
};

// Adds the tree of the folder at `path` (followed if it is a link: the caller named it) under `prefix`
// ("Velkar/"), with an entry for the top folder itself when `withTop`. False, with the reason already
// said on standard error, when the tree cannot be read; refusals are collected, not failures.
[[nodiscard]] bool ReadTree(const std::string& path, const std::string& prefix, bool withTop, const Options& options,
                            Tree& tree);

}  // namespace apptree
