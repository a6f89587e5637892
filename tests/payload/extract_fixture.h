// tests/payload/extract_fixture.h: what the extraction tests share: a window the service entry's
// lookup finds as the ZIP component's carrier, the percentages its ExtractProgress events carried,
// and small archives written from the archive writer.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/zip_component.h"
#include "tests/support/test_support.h"
#include "tools/zip_writer.h"

namespace payloadtest {

constexpr std::int32_t kWindowId = 0x52010001;
constexpr std::int32_t kComponentId = 0x16010043;

// Connects a service entry whose component lookup finds a carrier made here and whose event raise
// records each ExtractProgress percentage; `stopAfter` events in, the handler answers false.
class ConnectedComponent {
public:
    ConnectedComponent();
    ~ConnectedComponent();
    std::vector<int> percentages;
    int stopAfter = -1;  // -1: never stop
    bool found = true;   // false: the lookup finds no component
    HWND carrier = nullptr;
    HWND parent = nullptr;
};

zipwriter::Entry File(const std::string& name, const std::string& data);
zipwriter::Entry Folder(const std::string& name);

// Writes an archive to `path`; true when the file was written.
bool WriteArchive(const std::string& path, const std::vector<zipwriter::Entry>& entries,
                  const zipwriter::Options& options = {});

// Every name under `folder` (relative, "\" separators, folders ending in "\"), sorted.
std::vector<std::string> ListTree(const std::string& folder);

// A Unix symbolic link `link` to the folder `target`, made through Wine: Wine reports it with the
// reparse attribute (0x410) in listings and GetFileAttributes and follows it when a path runs
// through it, as Windows does with a folder symbolic link. True when it is there.
bool MakeFolderLink(const std::string& target, const std::string& link);
// Wine cannot remove a folder symbolic link through Windows calls (RemoveDirectoryA removes its
// target instead when that is an empty folder): Unix rm does it.
void RemoveFolderLink(const std::string& link);

}  // namespace payloadtest
