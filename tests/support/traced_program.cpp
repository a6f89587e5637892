#include "tests/support/traced_program.h"

#include <map>

#include "harness/harness.h"

namespace test {

namespace {

class Locked {
public:
    explicit Locked(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~Locked() { LeaveCriticalSection(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& lock_;
};

// The reader of the debug-output buffer: a writer takes the buffer's mutex, waits for "buffer ready",
// writes its process id and the line into the shared 4 KB, and sets "data ready". The reader runs for
// the rest of the test process, as a debug-output viewer would.
class Reader {
public:
    static Reader& Get() {
        static Reader* reader = new Reader;  // never destroyed: its thread runs to the process's end
        return *reader;
    }

    void Add(DWORD id, TracedProgram* program) {
        Locked locked(lock_);
        programs_[id] = program;
    }
    void Remove(DWORD id) {
        Locked locked(lock_);
        programs_.erase(id);
    }
    bool ready() const { return view_ != nullptr; }

private:
    Reader() {
        InitializeCriticalSection(&lock_);
        mapping_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER"));
        bufferReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
        dataReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
        if (mapping_ && bufferReady_ && dataReady_)
            view_ = static_cast<const char*>(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 4096));
        if (view_)
            CloseHandle(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }

    static DWORD WINAPI Run(void* self) {
        static_cast<Reader*>(self)->Serve();
        return 0;
    }

    void Serve() {
        for (;;) {
            SetEvent(bufferReady_.get());
            if (WaitForSingleObject(dataReady_.get(), INFINITE) != WAIT_OBJECT_0)
                return;
            DWORD id = 0;
            CopyMemory(&id, view_, sizeof id);
            std::string line(view_ + sizeof id, strnlen(view_ + sizeof id, 4096 - sizeof id));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            // Handed over before the buffer is offered again: the program's next line waits for that.
            Locked locked(lock_);
            auto program = programs_.find(id);
            if (program != programs_.end())
                program->second->TakeLine(line);
        }
    }

    CRITICAL_SECTION lock_;
    std::map<DWORD, TracedProgram*> programs_;
    KernelHandle mapping_, bufferReady_, dataReady_;
    const char* view_ = nullptr;
};

}  // namespace

TracedProgram::TracedProgram()
    : lineWritten_(CreateEventA(nullptr, FALSE, FALSE, nullptr)), held_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
}

TracedProgram::~TracedProgram() {
    if (id_)
        Reader::Get().Remove(id_);
    Release();
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
        TerminateProcess(process_.get(), 1);
    DeleteCriticalSection(&lock_);
}

bool TracedProgram::Start(const std::string& commandLine, const std::string& holdAt) {
    holdAt_ = holdAt;
    if (!Reader::Get().ready())
        return false;
    // Started suspended, so that the reader knows the program before it writes its first line.
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &info))
        return false;
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    id_ = info.dwProcessId;
    Reader::Get().Add(id_, this);
    ResumeThread(thread_.get());
    return true;
}

void TracedProgram::TakeLine(const std::string& line) {
    {
        Locked locked(lock_);
        lines_.push_back(line);
        times_.push_back(harness::NowMilliseconds());
        if (!holdAt_.empty() && !holding_ && line.find(holdAt_) != std::string::npos) {
            holding_ = SuspendThread(thread_.get()) != static_cast<DWORD>(-1);
            holdAt_.clear();  // the first such line only
            SetEvent(held_.get());
        }
    }
    SetEvent(lineWritten_.get());
}

std::vector<std::string> TracedProgram::Lines() const {
    Locked locked(lock_);
    return lines_;
}

double TracedProgram::LineTime(std::size_t index) const {
    Locked locked(lock_);
    return index < times_.size() ? times_[index] : 0;
}

int TracedProgram::WaitForLine(const std::string& part, DWORD milliseconds, std::size_t from) const {
    const double end = harness::NowMilliseconds() + milliseconds;
    for (;;) {
        const bool ended = WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
        {
            Locked locked(lock_);
            for (std::size_t i = from; i < lines_.size(); ++i)
                if (lines_[i].find(part) != std::string::npos)
                    return static_cast<int>(i);
        }
        const double left = end - harness::NowMilliseconds();
        if (left <= 0 || ended)  // an ended program writes no more lines
            return -1;
        HANDLE events[2] = {lineWritten_.get(), process_.get()};
        WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(left) + 1);
    }
}

bool TracedProgram::WaitUntilHeld(DWORD milliseconds) const {
    return WaitForSingleObject(held_.get(), milliseconds) == WAIT_OBJECT_0;
}

void TracedProgram::Release() {
    Locked locked(lock_);
    if (holding_) {
        ResumeThread(thread_.get());
        holding_ = false;
    }
}

bool TracedProgram::Pause() { return thread_ && SuspendThread(thread_.get()) != static_cast<DWORD>(-1); }

bool TracedProgram::Resume() { return thread_ && ResumeThread(thread_.get()) != static_cast<DWORD>(-1); }

bool TracedProgram::Wait(DWORD milliseconds, DWORD* exitCode) {
    if (!process_ || WaitForSingleObject(process_.get(), milliseconds) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process_.get(), exitCode);
    return true;
}

void TracedProgram::Kill(UINT exitCode) {
    if (!process_)
        return;
    TerminateProcess(process_.get(), exitCode);
    WaitForSingleObject(process_.get(), 5000);
}

}  // namespace test
