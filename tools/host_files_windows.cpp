// tools/host_files_windows.cpp: the packer's file system and programs on Windows (tools/host_files.h).
// Text crosses between UTF-8 and UTF-16 here, at the edge, and nowhere else: the arguments come from the
// UTF-16 command line, so a name the ANSI code page cannot spell still reaches the packer whole.
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstring>
#include <iostream>
#include <new>
#include <streambuf>
#include <utility>

#include "base/owners.h"
#include "tools/host_files.h"
#include "tools/wide_names.h"
#include "tools/windows_paths.h"

namespace hostfiles {
namespace {

// CommandLineToArgvW's array, freed with LocalFree.
struct ArgumentArray {
    wchar_t** values = nullptr;
    ArgumentArray() = default;
    ArgumentArray(const ArgumentArray&) = delete;
    ArgumentArray& operator=(const ArgumentArray&) = delete;
    ~ArgumentArray() {
        if (values)
            LocalFree(values);
    }
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A console shows text in its own code page (936 on a Chinese Windows), so the packer's UTF-8 lines,
// written to it as bytes, would come out garbled. Where standard output or error is a console, its
// stream writes through WriteConsoleW instead; a pipe or a file gets the bytes, as on Linux.
class ConsoleBuffer : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) {}

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            pending_ += traits_type::to_char_type(c);
            if (c == '\n')
                Write();
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending_.append(text, static_cast<std::size_t>(count));
        if (pending_.size() >= 4096 || std::memchr(text, '\n', static_cast<std::size_t>(count)))
            Write();
        return count;
    }
    int sync() override {
        Write();
        return 0;
    }

private:
    // Writes what is pending up to its last whole character: a character cut between two writes waits
    // for its other bytes.
    void Write() {
        std::size_t end = pending_.size();
        for (std::size_t back = 1; back <= 3 && back <= pending_.size(); ++back) {
            const unsigned char c = static_cast<unsigned char>(pending_[pending_.size() - back]);
            if ((c & 0xC0) == 0x80)
                continue;
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > back)
                end = pending_.size() - back;
            break;
        }
        if (end == 0)
            return;
        std::wstring wide;
        if (!widenames::WideFromUtf8(pending_.substr(0, end), wide)) {
            // Bytes that are no UTF-8 (a Linux name in an archive's listing): each shown as itself.
            for (std::size_t i = 0; i < end; ++i)
                wide += static_cast<wchar_t>(static_cast<unsigned char>(pending_[i]));
        }
        DWORD written = 0;
        (void)WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        pending_.erase(0, end);
    }
    HANDLE console_;
    std::string pending_;
};

// Puts a ConsoleBuffer under `stream` when `which` standard handle is a console. The buffer is never
// freed: the streams are flushed at the very end of the program, after static objects are gone.
void ShowOnConsole(std::ostream& stream, DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        stream.flush();
        stream.rdbuf(new ConsoleBuffer(handle));
    }
}

// Reads what is left of the file open through `file` into `data`, `expected` bytes being its size when
// opened (a hint: a file that grows meanwhile is read to its end).
bool ReadToEnd(HANDLE file, std::uint64_t expected, std::string& data, std::string& error) {
    // A 32-bit program cannot hold a file above about 2 GB in one piece; the archive limit is far below.
    if (expected > 0x7FFFFFFFull) {
        error = "the file is too large for this program to hold in memory";
        return false;
    }
    std::string bytes;
    std::size_t done = 0;
    // Memory runs out as a failure of this read, not as an end of the program.
    try {
        bytes.resize(static_cast<std::size_t>(expected));
        for (;;) {
            if (done == bytes.size()) {
                // One byte more than the size said: the file grew, so read on; else it ended there.
                char more = 0;
                DWORD got = 0;
                if (!ReadFile(file, &more, 1, &got, nullptr)) {
                    error = ErrorText(GetLastError());
                    return false;
                }
                if (got == 0)
                    break;
                bytes += more;
                bytes.resize(bytes.size() + 65536);
                ++done;
                continue;
            }
            const std::size_t want = bytes.size() - done;
            const DWORD chunk = want > (1u << 24) ? (1u << 24) : static_cast<DWORD>(want);
            DWORD got = 0;
            if (!ReadFile(file, bytes.data() + done, chunk, &got, nullptr)) {
                error = ErrorText(GetLastError());
                return false;
            }
            if (got == 0) {
                bytes.resize(done);  // the file shrank meanwhile
                break;
            }
            done += got;
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to hold the file";
        return false;
    }
    bytes.resize(done);
    data = std::move(bytes);
    return true;
}

// One argument as the C runtime's parser reads it back: plain when it has no blank or quote; else in
// quotes, a backslash run doubled where a quote follows it (the closing one included) and a quote
// written as \".
void AppendArgument(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == argument.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += argument[i];
    }
    line += L'"';
}

// The program file `name` stands for: a path as given, a bare name looked for in the folders of PATH
// only. CreateProcessW's own search would try the current folder and the packer's own first, where
// whoever gave us the application folder may have put an "openssl.exe".
bool FindProgram(const std::wstring& name, std::wstring& program) {
    if (name.find_first_of(L"\\/:") != std::wstring::npos) {
        program = name;
        return true;
    }
    const DWORD pathSize = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (pathSize == 0)
        return false;
    std::wstring path(pathSize, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", path.data(), pathSize));
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size =
            SearchPathW(path.c_str(), name.c_str(), L".exe", static_cast<DWORD>(found.size()), found.data(), nullptr);
        if (size == 0)
            return false;
        if (size < found.size()) {
            found.resize(size);
            program = std::move(found);
            return true;
        }
        found.resize(size);
    }
}

// Starts `command` with the given standard output and errors (none: the packer's own console): the
// process, or none when it cannot start. `output` is closed once the child has its copy, or when it
// cannot start: a copy of ours would keep a pipe from ending. The caller reads a pipe on its own thread
// before waiting: a second thread that drained it crashed the program now and then under WoW64.
KernelHandle Start(const std::vector<std::string>& command, KernelHandle output, HANDLE errors) {
    if (command.empty())
        return {};
    std::wstring program, line;
    for (std::size_t i = 0; i < command.size(); ++i) {
        std::wstring argument;
        if (!widenames::WideFromUtf8(command[i], argument))
            return {};
        if (i == 0) {
            if (!FindProgram(argument, program))
                return {};
            // The program's own name is read up to the next quote, without escapes; a file name
            // cannot hold a quote.
            line += L'"' + program + L'"';
        } else {
            line += L' ';
            AppendArgument(line, argument);
        }
    }
    STARTUPINFOW start{};
    start.cb = sizeof start;
    if (output) {
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        start.hStdOutput = output.get();
        start.hStdError = errors;
    }
    PROCESS_INFORMATION started{};
    // The handles inherited are the standard ones: the packer makes no other handle inheritable, and it
    // starts one program at a time from one thread.
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &started))
        return {};
    CloseHandle(started.hThread);
    output.reset();
    return KernelHandle{started.hProcess};
}

// Waits for a started program's end: its exit code, or -1 when it cannot be told.
int Wait(const KernelHandle& process) {
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code))
        return -1;
    return static_cast<int>(code);
}

}  // namespace

bool SystemPath(const std::string& path, std::wstring& wide, std::string& error) {
    std::wstring given;
    if (path.empty() || !widenames::WideFromUtf8(path, given) || given.find(L'\0') != std::wstring::npos) {
        error = "not a path";
        return false;
    }
    for (wchar_t& c : given)
        if (c == L'/')
            c = L'\\';
    // Already in the system's own form ("\\?\", or a device's "\\.\"): as it is.
    if (given.rfind(L"\\\\?\\", 0) == 0 || given.rfind(L"\\\\.\\", 0) == 0) {
        wide = std::move(given);
        return true;
    }
    // "\\?\" turns off the system's clean-up of a path, so it is made full and clean first ("..",
    // ".", doubled separators, a relative path against the current folder); GetFullPathNameW takes a
    // path of any length.
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (size == 0) {
            error = ErrorText(GetLastError());
            return false;
        }
        if (size < full.size()) {
            full.resize(size);
            break;
        }
        full.resize(size);
    }
    if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1]))
        wide = L"\\\\?\\UNC\\" + full.substr(2);
    else
        wide = L"\\\\?\\" + full;
    return true;
}

std::string ErrorText(DWORD code) {
    wchar_t* words = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    // English where the system has it, as the Linux build's messages are; else the user's language.
    DWORD length = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<wchar_t*>(&words), 0, nullptr);
    if (length == 0)
        length = FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
    std::wstring text = length ? std::wstring(words, length) : std::wstring();
    if (words)
        LocalFree(words);
    while (!text.empty() &&
           (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    const std::string number = "error " + std::to_string(code);
    return text.empty() ? number : widenames::Utf8FromWide(text) + " (" + number + ")";
}

std::vector<std::string> Arguments(int argc, char** argv) {
    ShowOnConsole(std::cout, STD_OUTPUT_HANDLE);
    ShowOnConsole(std::cerr, STD_ERROR_HANDLE);
    std::vector<std::string> arguments;
    ArgumentArray wide;
    int count = 0;
    wide.values = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide.values && count > 0) {
        for (int i = 0; i < count; ++i)
            arguments.push_back(widenames::Utf8FromWide(wide.values[i]));
        return arguments;
    }
    // Without the UTF-16 line (the system refused it memory), the C runtime's ANSI arguments are all
    // there is.
    for (int i = 0; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return arguments;
}

std::string ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (size == 0)
            return "";
        if (size < path.size()) {  // a full buffer means the path was cut (XP leaves it unterminated)
            path.resize(size);
            break;
        }
        if (path.size() >= 65536)
            return "";
        path.resize(path.size() * 2);
    }
    const std::size_t last = path.find_last_of(L"\\/");
    if (last == std::wstring::npos)
        return "";
    path.resize(last);
    return widenames::Utf8FromWide(path);
}

bool Look(const std::string& path, Kind& kind, Identity& identity, std::string& error) {
    std::wstring wide;
    if (!SystemPath(path, wide, error))
        return false;
    // No access asked, only the attributes: a file another program holds without sharing can still be
    // told. FILE_FLAG_BACKUP_SEMANTICS opens a folder; links are followed to what they name.
    const FileHandle handle{CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (!handle) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            kind = Kind::Missing;
            identity = {};
            return true;
        }
        error = ErrorText(code);
        return false;
    }
    // A device or a pipe has no file identity; it is no file to pack or to write over either.
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) {
        kind = Kind::Other;
        identity = {};
        return true;
    }
    BY_HANDLE_FILE_INFORMATION facts{};
    if (!GetFileInformationByHandle(handle.get(), &facts)) {
        error = ErrorText(GetLastError());
        return false;
    }
    kind = (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
    identity.volume = facts.dwVolumeSerialNumber;
    identity.file = (static_cast<std::uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
    return true;
}

bool ReadWhole(const std::string& path, std::string& data, std::string& error) {
    std::wstring wide;
    if (!SystemPath(path, wide, error))
        return false;
    // Others may read it meanwhile, not write it: what is read is then what the file holds.
    const FileHandle file{CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    if (!file) {
        error = ErrorText(GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        error = ErrorText(GetLastError());
        return false;
    }
    return ReadToEnd(file.get(), static_cast<std::uint64_t>(size.QuadPart), data, error);
}

namespace {

bool WriteNewWith(const std::string& path, std::string_view data, SECURITY_ATTRIBUTES* security, std::string& error) {
    std::wstring wide;
    if (!SystemPath(path, wide, error))
        return false;
    // CREATE_NEW fails on anything at the name, a link included, so nothing is written through one.
    // DELETE: a file that cannot be finished is removed through its own handle, not by its name.
    FileHandle file{
        CreateFileW(wide.c_str(), GENERIC_WRITE | DELETE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        error = ErrorText(GetLastError());
        return false;
    }
    bool written = true;
    for (std::size_t done = 0; written && done < data.size();) {
        const std::size_t left = data.size() - done;
        const DWORD chunk = left > (1u << 24) ? (1u << 24) : static_cast<DWORD>(left);
        DWORD put = 0;
        written = WriteFile(file.get(), data.data() + done, chunk, &put, nullptr) && put > 0;
        done += put;
    }
    written = written && FlushFileBuffers(file.get());
    if (!written) {
        error = ErrorText(GetLastError());
        FILE_DISPOSITION_INFO gone{};
        gone.DeleteFile = TRUE;
        (void)SetFileInformationByHandle(file.get(), FileDispositionInfo, &gone, sizeof gone);
        return false;
    }
    if (!file.close()) {
        error = ErrorText(GetLastError());
        return false;
    }
    return true;
}

}  // namespace

bool WriteNew(const std::string& path, std::string_view data, std::string& error) {
    return WriteNewWith(path, data, nullptr, error);
}

bool WriteNewPrivate(const std::string& path, std::string_view data, std::string& error) {
    // A protected list with one entry, full access for the file's owner: nothing inherited from the
    // folder lets anyone else read it.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        error = ErrorText(GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    const bool written = WriteNewWith(path, data, &security, error);
    LocalFree(descriptor);
    return written;
}

bool Replace(const std::string& from, const std::string& to, std::string& error) {
    std::wstring wideFrom, wideTo;
    if (!SystemPath(from, wideFrom, error) || !SystemPath(to, wideTo, error))
        return false;
    // One rename: a link at `to` is replaced as a name, never written through; WRITE_THROUGH answers
    // only once the rename is on disk.
    if (!MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ErrorText(GetLastError());
        return false;
    }
    return true;
}

bool RemoveFile(const std::string& path, std::string& error) {
    std::wstring wide;
    if (!SystemPath(path, wide, error))
        return false;
    if (DeleteFileW(wide.c_str()))
        return true;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return true;
    error = ErrorText(code);
    return false;
}

int RunProgram(const std::vector<std::string>& command) {
    const KernelHandle process = Start(command, KernelHandle{}, nullptr);
    return process ? Wait(process) : -1;
}

int RunProgramCapture(const std::vector<std::string>& command, std::string& output, bool withErrors) {
    output.clear();
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0))
        return -1;
    const KernelHandle reading{readEnd};
    KernelHandle writing{writeEnd};
    // Our end stays ours: a child holding it would keep the pipe open after the writer ended.
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0))
        return -1;
    // Read until the last writer's end, then waited for: a child writing more than the pipe holds waits
    // for this reading, so the wait comes after it. Start closes our write end once the child has its copy.
    const KernelHandle process =
        Start(command, std::move(writing), withErrors ? writeEnd : GetStdHandle(STD_ERROR_HANDLE));
    if (!process)
        return -1;
    std::string buffer(65536, '\0');
    DWORD got = 0;
    while (ReadFile(reading.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
        output.append(buffer.data(), got);
    return Wait(process);
}

}  // namespace hostfiles
