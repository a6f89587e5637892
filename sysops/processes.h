// sysops/processes.h: the running processes: list them, end one, start a command line.
// Every operation answers through its result; none shows anything or ends the program.
#pragma once
#include <cstdint>
#include <optional>
#include <utility>

#include "base/held_folder.h"
#include "base/memory.h"
#include "base/owners.h"
#include "base/text.h"
#include "base/value.h"

// One process as the snapshot saw it. Records are made with `new` on the allocator and belong to
// their list.
struct ProcessRecord : AllocatedObject {
    std::uint32_t processId = 0;
    Text exeName;  // the bare file name the snapshot reports, e.g. "Velkar.exe"
    std::uint32_t moduleId = 0;
    std::uint32_t parentProcessId = 0;
    std::int32_t basePriority = 0;
    std::uint32_t threadCount = 0;
};

// The list's memory image: dimension count (always 1), element count, then that many references.
struct ProcessListImage {
    std::int32_t dimensions;
    std::int32_t count;
    ProcessRecord** records() { return reinterpret_cast<ProcessRecord**>(this + 1); }
};
static_assert(sizeof(ProcessListImage) == 8);

// The caller's list, in snapshot order. Releasing it releases every record and every name.
class ProcessList {
public:
    ProcessList() = default;  // the empty list
    ~ProcessList();
    ProcessList(ProcessList&& other) noexcept : image_(std::exchange(other.image_, nullptr)) {}
    ProcessList& operator=(ProcessList&& other) noexcept;
    ProcessList(const ProcessList&) = delete;
    ProcessList& operator=(const ProcessList&) = delete;

    std::int32_t count() const { return image_ ? image_->count : 0; }
    const ProcessRecord& operator[](std::int32_t index) const { return *image_->records()[index]; }  // 0-based

    // Takes over an image built by ListProcesses.
    explicit ProcessList(ProcessListImage* image) : image_(image) {}

private:
    ProcessListImage* image_ = nullptr;
};

// Every process of a fresh snapshot, however many, into `list`. False when the snapshot could not be
// taken or walked to its end: `list` is empty then, and says nothing about what runs.
[[nodiscard]] bool ListProcesses(ProcessList& list);

// Ends one process: a Text names it (first a top-level window with exactly that title, whose owner
// is ended; else the first process in snapshot order whose executable name equals it, in any letter
// case); an 8-, 16- or 32-bit integer is its id; a float or double is truncated to the id. Any other
// kind, "", id 0 and no match give false. True when the system accepted the termination (exit code 0).
[[nodiscard]] bool EndProcess(const Value& target);

// The show mode of the started program's first window; RunCommand clamps other values into 1 to 6.
namespace WindowMode {
constexpr std::int32_t Hidden = 1;
constexpr std::int32_t NormalActive = 2;  // used when no mode is given
constexpr std::int32_t MinimizedActive = 3;
constexpr std::int32_t MaximizedActive = 4;
constexpr std::int32_t NormalInactive = 5;
constexpr std::int32_t MinimizedInactive = 6;
}  // namespace WindowMode

// Starts `commandLine`, passed unchanged (quoting a path with spaces is the caller's affair). With
// `wait` it blocks, handling no messages, until the program ends; otherwise it gives the program at
// most 1000 ms to become idle. True when the process was created.
[[nodiscard]] bool RunCommand(const char* commandLine, bool wait = false,
                              std::optional<std::int32_t> mode = std::nullopt);

// A program started suspended, kept until its caller lets it run or ends it.
struct StartedProgram {
    KernelHandle process;
    KernelHandle thread;
};

// Creates the process of the program file `applicationName` (a full path: the system neither searches
// for it nor reads it from the command line) with `commandLine`, its window shown as `mode` says (as
// RunCommand), its first thread suspended, so that its caller can look at it before any of its code
// runs. False when the system refused.
[[nodiscard]] bool StartSuspended(const wchar_t* applicationName, const wchar_t* commandLine,
                                  std::optional<std::int32_t> mode, StartedProgram& started);
// Lets a program StartSuspended made run, and gives it at most 1000 ms to become idle, as RunCommand
// does. False when its thread could not be resumed.
[[nodiscard]] bool ResumeStartedProgram(StartedProgram& started);

// The full path of the program file the process runs (QueryFullProcessImageNameW, in its Win32 form).
[[nodiscard]] bool ImagePathOf(HANDLE process, WideText& path);
// True when the two paths are the same without regard to case, as the file system compares names.
[[nodiscard]] bool SamePath(const wchar_t* a, const wchar_t* b);

// Looks at the program of every running process this user may ask (no other user can run a program
// from this user's folders, and a protected process is none of the application's): `found` says
// whether one runs the file `path` names, or, with `below`, a file that lies below the folder `path`
// names. "The same" is the same file, not the same text: a program started through an 8.3 alias,
// another drive letter or a link to the folder counts; one in a folder whose name merely begins like it
// does not. Files are known by their file id together with their volume's serial number; where that
// cannot be read, and for a program on a network share, by the path's text, without regard to case. False when the process list could not
// be taken: then `found` is not known, and the caller takes the safe course.
[[nodiscard]] bool AnyProcessRunsFrom(const wchar_t* path, bool below, bool& found);
// The same look at the processes of a list already taken; `image`, where given, gets the program's
// path of the first one found, as the system reports it (in whatever spelling it was started by). It
// opens every folder on the way up from each program, once per folder and look.
[[nodiscard]] bool ListedProcessRunsFrom(const ProcessList& list, const wchar_t* path, bool below,
                                         WideText* image = nullptr);

// Reads whether the program's token is elevated (TokenElevation: run "as administrator" under UAC)
// into `elevated`. False when the token cannot be read: then whether it is, is not known.
[[nodiscard]] bool ReadTokenElevation(bool& elevated);
