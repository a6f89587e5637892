#include "payload/fresh_file.h"

namespace {

void (*nameClearedHook)(const wchar_t* name) = nullptr;

}  // namespace

ChildHandle CreateFreshChildFile(HANDLE folder, const wchar_t* name, bool evenReadOnly, DWORD access,
                                 DWORD attributes) {
    if (!RemoveChild(folder, name, evenReadOnly))
        return ChildHandle{};
    if (nameClearedHook)
        nameClearedHook(name);
    return CreateChildFile(folder, name, access, 0, attributes);
}

void SetNameClearedHook(void (*hook)(const wchar_t* name)) { nameClearedHook = hook; }
