#include "launcher/run.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/fatal.h"
#include "host/window_host.h"
#include "launcher/launcher_program.h"
#include "sysops/processes.h"
#include "sysops/texts.h"

namespace {

// Where a fatal report from a list access says the fault arose, as its two position numbers (see
// launcher/launcher_program.h): the program's fixed answer to "where", which never changes.
constexpr std::int32_t kListAccessSite = 0x040100AE;  // a list access out of bounds inside ProcessExists
constexpr std::int32_t kListAccessLine = 158;

constexpr char kLockName[] = "檀溪舟楫.lock";

// The list's entry at 1-based `position`, bounds-tested as every list access is.
const ProcessRecord& EntryAt(const ProcessList& list, std::int32_t position) {
    if (position < 1)
        ReportRuntimeError(kIndexBelowOne, "", kListAccessSite, kListAccessLine);
    if (position > list.count())
        ReportRuntimeError(kIndexAboveRange, "", kListAccessSite, kListAccessLine);
    return list[position - 1];
}

}  // namespace

const NamesOnDisk& Names() {
    static const NamesOnDisk names{WideFromAnsi(kTreeName), WideFromAnsi(kProgramName), WideFromAnsi(kArchiveName),
                                   WideFromAnsi(kLockName)};
    return names;
}

void Trace(const char* format, ...) {
    char line[768] = "Kestrelworks launcher: ";
    const std::size_t prefix = std::strlen(line);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, arguments);
    va_end(arguments);
    std::strcat(line, "\n");
    OutputDebugStringA(line);
}

const char* Outcome(bool succeeded, const char* done, const char* failed) {
    const DWORD error = GetLastError();
    static char text[64];
    if (succeeded)
        return done;
    std::snprintf(text, sizeof text, "%s (error %lu)", failed, error);
    return text;
}

bool Listed(const Run& run, const WideText& name) {
    FolderEntry entry;
    return LookUpEntry(run.root, name.c_str(), entry);
}

bool WindowClosed() { return !AnyLoadedWindowAlive(); }

bool ListHasName(const ProcessList& list, const char* name) {
    bool found = false;
    const std::int32_t count = list.count();
    for (std::int32_t position = 1; position <= count; ++position) {
        Text exeName = ToText(Value::OfText(EntryAt(list, position).exeName.c_str()));
        const bool same = CompareText(name, exeName.c_str(), false) == 0;
        // Released here, just before its scope ends, on purpose: each step gives back what it took
        // before the next begins, so the releases keep the routine's order step for step.
        exeName = Text{};
        if (same) {
            found = true;
            break;
        }
    }
    return found;
}

Running LookAtProcesses(const Run& run, char* what, std::size_t size) {
    what[0] = '\0';
    ProcessList list;
    const LauncherSeams& seams = CurrentSeams();
    if (!(seams.listProcesses ? seams.listProcesses(list) : ListProcesses(list))) {
        std::snprintf(what, size, "the process list could not be taken (error %lu)", GetLastError());
        return Running::NotKnown;
    }
    // Nothing of a tree is removed without the install folder.
    if (!run.root)
        return ListHasName(list, kProgramName) ? Running::ByName : Running::Nothing;
    WideText folder;
    if (!FinalPathOf(run.root.get(), folder)) {
        std::snprintf(what, size, "the tree's path could not be read (error %lu)", GetLastError());
        return Running::NotKnown;
    }
    if (ListHasName(list, kProgramName))
        return Running::ByName;
    const WideText tree = JoinWide(JoinWide(folder.c_str(), L"\\").c_str(), Names().tree.c_str());
    WideText image;
    if (!ListedProcessRunsFrom(list, tree.c_str(), true, &image))
        return Running::Nothing;
    std::snprintf(what, size, "%s", AnsiFromWide(image.c_str(), Unspellable::BecomesMark).c_str());
    return Running::FromTree;
}

const char* RunningText(Running running, const char* what) {
    static char text[400];
    if (running == Running::ByName)
        return "Velkar.exe still runs";
    if (running == Running::FromTree)
        std::snprintf(text, sizeof text, "%s still runs from the tree", what);
    else
        std::snprintf(text, sizeof text, "%s: counted as still running", what);
    return text;
}
