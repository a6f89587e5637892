// tools/host_files_posix.cpp: the packer's file system and programs on Linux. Paths are bytes, passed
// through as they are; a new file is created with O_EXCL | O_NOFOLLOW, so whatever was planted at its name
// is refused rather than written through.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "tools/host_files.h"

extern char** environ;

namespace hostfiles {
namespace {

std::string Reason(const std::string& path, int error) { return path + ": " + std::strerror(error); }

bool WriteAll(int fd, std::string_view data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t put = write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool WriteCreated(const std::string& path, std::string_view data, mode_t mode, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        error = Reason(path, errno);
        return false;
    }
    bool written = WriteAll(fd, data) && fsync(fd) == 0;
    const int writeError = errno;
    written = close(fd) == 0 && written;
    if (!written) {
        error = Reason(path, writeError ? writeError : errno);
        unlink(path.c_str());
        return false;
    }
    return true;
}

// Waits for the child, its exit code or -1 when it did not end by itself.
int Wait(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<char*> Argv(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t got = readlink("/proc/self/exe", path, sizeof path - 1);
    if (got <= 0)
        return ".";
    std::string file(path, static_cast<std::size_t>(got));
    const std::size_t slash = file.rfind('/');
    return slash == 0 ? "/" : file.substr(0, slash);
}

bool Look(const std::string& path, Kind& kind, Identity& identity, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            kind = Kind::Missing;
            identity = {};
            return true;
        }
        error = Reason(path, errno);
        return false;
    }
    kind = S_ISREG(info.st_mode) ? Kind::File : S_ISDIR(info.st_mode) ? Kind::Folder : Kind::Other;
    identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return true;
}

bool ReadWhole(const std::string& path, std::string& data, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = Reason(path, errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? path + ": a folder, not a file" : Reason(path, errno ? errno : EINVAL);
        close(fd);
        return false;
    }
    // Read straight into the string, sized as the file is, with room to see the end of one that grew.
    std::size_t done = 0;
    data.resize(static_cast<std::size_t>(info.st_size) + 1);
    for (;;) {
        if (done == data.size())
            data.resize(data.size() * 2);
        const ssize_t got = read(fd, data.data() + done, data.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = Reason(path, errno);
            close(fd);
            data.clear();
            return false;
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    close(fd);
    data.resize(done);
    return true;
}

bool WriteNew(const std::string& path, std::string_view data, std::string& error) {
    return WriteCreated(path, data, 0666, error);
}

bool WriteNewPrivate(const std::string& path, std::string_view data, std::string& error) {
    return WriteCreated(path, data, 0600, error);
}

bool Replace(const std::string& from, const std::string& to, std::string& error) {
    if (rename(from.c_str(), to.c_str()) != 0) {
        error = Reason(to, errno);
        return false;
    }
    return true;
}

bool RemoveFile(const std::string& path, std::string& error) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = Reason(path, errno);
        return false;
    }
    return true;
}

int RunProgram(const std::vector<std::string>& command) {
    if (command.empty())
        return -1;
    std::vector<char*> argv = Argv(command);
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return Wait(child);
}

int RunProgramCapture(const std::vector<std::string>& command, std::string& output, bool withErrors) {
    output.clear();
    if (command.empty())
        return -1;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    if (withErrors)
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv = Argv(command);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        return -1;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    return Wait(child);
}

}  // namespace hostfiles
