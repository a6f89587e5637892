#include "tests/payload/extract_fixture.h"

#include <algorithm>

#include "base/owners.h"
#include "base/services.h"

namespace payloadtest {
namespace {

ConnectedComponent* current = nullptr;

HWND FindComponent(std::int32_t windowId, std::int32_t componentId) {
    if (!current || !current->found || windowId != kWindowId || componentId != kComponentId)
        return nullptr;
    return current->carrier;
}

bool Raise(EventCall& call) {
    if (!current)
        return false;
    EXPECT_EQ(call.windowId, kWindowId);
    EXPECT_EQ(call.componentId, kComponentId);
    EXPECT_EQ(call.eventIndex, kExtractProgressEvent);
    EXPECT_EQ(call.argumentCount, 1);
    current->percentages.push_back(call.arguments[0]);
    if (current->stopAfter >= 0 && static_cast<int>(current->percentages.size()) >= current->stopAfter) {
        call.resultPresent = 1;
        call.result = 0;
    }
    return true;
}

void ListInto(const std::string& folder, const std::string& prefix, std::vector<std::string>& names) {
    WIN32_FIND_DATAA data;
    FindHandle search{FindFirstFileA((folder + "\\*").c_str(), &data)};
    if (!search)
        return;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            names.push_back(prefix + name + "\\");
            ListInto(folder + "\\" + name, prefix + name + "\\", names);
        } else {
            names.push_back(prefix + name);
        }
    } while (FindNextFileA(search.get(), &data));
}

}  // namespace

ConnectedComponent::ConnectedComponent() {
    parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    carrier = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 1, 1, parent, nullptr, nullptr, nullptr);
    current = this;
    ServiceEntry entry;
    entry.findComponentWindow = FindComponent;
    entry.raiseEvent = Raise;
    ConnectServices(entry);
}

ConnectedComponent::~ConnectedComponent() {
    ConnectServices(ServiceEntry{});
    current = nullptr;
    if (parent)
        DestroyWindow(parent);
}

zipwriter::Entry File(const std::string& name, const std::string& data) {
    return zipwriter::MakeEntry(name, data, 1600000000);
}

zipwriter::Entry Folder(const std::string& name) { return zipwriter::MakeEntry(name, "", 1600000000, true); }

bool WriteArchive(const std::string& path, const std::vector<zipwriter::Entry>& entries,
                  const zipwriter::Options& options) {
    return test::WriteWholeFile(path, zipwriter::BuildArchive(entries, options));
}

std::vector<std::string> ListTree(const std::string& folder) {
    std::vector<std::string> names;
    ListInto(folder, "", names);
    std::sort(names.begin(), names.end());
    return names;
}

bool MakeFolderLink(const std::string& target, const std::string& link) {
    if (!test::RunUnix("Z:\\bin\\ln -s " + test::Quoted(test::UnixPath(target)) + " " +
                       test::Quoted(test::UnixPath(link))))
        return false;
    test::WaitUntil([&] { return test::Exists(link); }, 5000, 50);
    return (test::AttributesOf(link) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && test::Exists(link);
}

void RemoveFolderLink(const std::string& link) {
    test::RunUnix("Z:\\bin\\rm -f " + test::Quoted(test::UnixPath(link)));
    test::WaitUntil([&] { return !test::Exists(link); }, 5000, 50);
}

}  // namespace payloadtest
