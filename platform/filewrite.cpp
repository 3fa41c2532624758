#include "platform/filewrite.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/clock.h"
#include "platform/errors.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// Binary (no line-end translation) and not inherited by child processes.
constexpr int kOpenFlags = O_BINARY | O_NOINHERIT;
#else
constexpr int kOpenFlags = O_CLOEXEC;
#endif

std::mutex g_hookLock;
PlatDiskSpaceHook g_diskSpace;

// How many of n bytes the disk takes now (all of them unless a test says otherwise).
size_t DiskTakes(size_t n) {
    std::lock_guard<std::mutex> guard(g_hookLock);
    return g_diskSpace ? std::min(n, g_diskSpace(n)) : n;
}

// Writes all of text to the open descriptor; 0, or the errno of the failure.
int writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        size_t allowed = DiskTakes(size - done);
        // One call moves at most an unsigned int's worth on Windows.
        allowed = std::min<size_t>(allowed, 1u << 30);
        auto n = allowed == 0 ? 0 : ::write(fd, data + done, static_cast<unsigned>(allowed));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Brings the file's bytes to the disk; 0, or the errno of the failure.
int commitToDisk(int fd) {
#ifdef _WIN32
    return ::_commit(fd) == 0 ? 0 : errno;
#else
    return ::fsync(fd) == 0 ? 0 : errno;
#endif
}

// Renames from over to, replacing to when it exists, as one step where the host can: POSIX
// rename does; Windows' own rename refuses an existing target, MoveFileEx with
// MOVEFILE_REPLACE_EXISTING does not.
bool replaceFile(const std::string& from, const std::string& to, std::string* error) {
#ifdef _WIN32
    // A reader that holds the old file open without sharing its deletion (the C library's streams)
    // makes the replacement fail for as long as it reads; readers of settings are short.
    constexpr int kAttempts = 40;
    constexpr uint32_t kPauseMs = 50;
    DWORD why = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        why = GetLastError();
        if (why != ERROR_SHARING_VIOLATION && why != ERROR_ACCESS_DENIED) break;
        platSleepMs(kPauseMs);
    }
    *error = std::system_category().message(int(why));
    platSetError(why == ERROR_ACCESS_DENIED || why == ERROR_SHARING_VIOLATION ? WSAEACCES
                                                                              : ENOENT_CODE);
    return false;
#else
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    *error = std::strerror(errno);
    platSetErrorFromErrno();
    return false;
#endif
}

}  // namespace

void platSetDiskSpaceHookForTests(PlatDiskSpaceHook hook) {
    std::lock_guard<std::mutex> guard(g_hookLock);
    g_diskSpace = std::move(hook);
}

bool platWriteFile(const std::string& path, bool truncate,
                   std::initializer_list<std::span<const char>> pieces, std::string* error,
                   bool* opened, long long* sizeBefore) {
    int flags = O_WRONLY | kOpenFlags | (truncate ? O_CREAT | O_TRUNC : 0);
    int fd = ::open(path.c_str(), flags, 0644);
    if (opened != nullptr) *opened = fd >= 0;
    if (sizeBefore != nullptr) *sizeBefore = -1;
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    const auto end = ::lseek(fd, 0, SEEK_END);
    int failure = end < 0 ? errno : 0;
    if (sizeBefore != nullptr && end >= 0) *sizeBefore = static_cast<long long>(end);
    for (std::span<const char> piece : pieces) {
        if (failure == 0) failure = writeAll(fd, piece.data(), piece.size());
    }
#ifdef _WIN32
    // Windows cannot sync a volume for an ordinary user (platSyncFileSystem), so each file is
    // brought to the disk here.
    if (failure == 0) failure = commitToDisk(fd);
#endif
    // A close can report a failed delayed write (network file systems): it counts too.
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure != 0) {
        *error = std::strerror(failure);
        return false;
    }
    return true;
}

bool platReplaceFileContents(const std::string& path, std::string_view text, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    fs::path target(path);
    fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // A hidden name of this process and call beside the target, made with O_EXCL so that two
    // writers never share one.
    static std::atomic<unsigned> serial{0};
    std::string hidden = ".";
    hidden += target.filename().string();
    hidden += '.';
    hidden += std::to_string(platProcessId());
    hidden += '-';
    hidden += std::to_string(serial++);
    std::string temporary = (dir / hidden).string();
    int mode = 0644;
#ifndef _WIN32
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) mode = int(st.st_mode & 07777);
#endif
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, mode);
    if (fd < 0) {
        *error = std::strerror(errno);
        platSetErrorFromErrno();
        return false;
    }
#ifndef _WIN32
    ::fchmod(fd, mode_t(mode));  // the creation mode passed the umask; the old file's did not
#endif
    int failure = writeAll(fd, text.data(), text.size());
    if (failure == 0) failure = commitToDisk(fd);
    if (::close(fd) != 0 && failure == 0) failure = errno;
    bool ok = failure == 0;
    if (!ok) {
        *error = std::strerror(failure);
        platSetError(platErrorFromErrno(failure));
    }
    if (ok) ok = replaceFile(temporary, path, error);
    if (!ok) ::remove(temporary.c_str());
    return ok;
}

bool platTruncateFile(const std::string& path, long long size, std::string* error) {
    std::error_code ec;
    fs::resize_file(path, static_cast<uintmax_t>(size), ec);
    if (!ec) return true;
    if (error) *error = ec.message();
    return false;
}

void platSyncFileSystem(const std::string& folder) {
#ifdef _WIN32
    // Windows flushes a whole volume only for an administrator; platWriteFile has committed every
    // file it wrote already.
    (void)folder;
#else
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef __linux__
    if (fd >= 0 && ::syncfs(fd) == 0) {
        ::close(fd);
        return;
    }
#endif
    if (fd >= 0) ::close(fd);
    ::sync();
#endif
}
