#include "platform/filewrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_hookLock;
PlatDiskSpaceHook g_diskSpace;

// How many of n bytes the disk takes now (all of them unless a test says otherwise).
size_t DiskTakes(size_t n) {
    std::lock_guard<std::mutex> guard(g_hookLock);
    return g_diskSpace ? std::min(n, g_diskSpace(n)) : n;
}

}  // namespace

void platSetDiskSpaceHookForTests(PlatDiskSpaceHook hook) {
    std::lock_guard<std::mutex> guard(g_hookLock);
    g_diskSpace = std::move(hook);
}

bool platWriteFile(const std::string& path, bool truncate,
                   std::initializer_list<std::span<const char>> pieces, std::string* error,
                   bool* opened) {
    int flags = O_WRONLY | O_CLOEXEC | (truncate ? O_CREAT | O_TRUNC : 0);
    int fd = ::open(path.c_str(), flags, 0644);
    if (opened != nullptr) *opened = fd >= 0;
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    int failure = ::lseek(fd, 0, SEEK_END) < 0 ? errno : 0;
    for (std::span<const char> piece : pieces) {
        size_t done = 0;
        while (failure == 0 && done < piece.size()) {
            size_t allowed = DiskTakes(piece.size() - done);
            ssize_t n = allowed == 0 ? 0 : ::write(fd, piece.data() + done, allowed);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                failure = errno;
            } else if (n == 0) {
                failure = ENOSPC;
            } else {
                done += static_cast<size_t>(n);
            }
        }
    }
    // A close can report a failed delayed write (network file systems): it counts too.
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure != 0) {
        *error = std::strerror(failure);
        return false;
    }
    return true;
}

bool platTruncateFile(const std::string& path, long long size, std::string* error) {
    if (::truncate(path.c_str(), static_cast<off_t>(size)) == 0) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

void platSyncFileSystem(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef __linux__
    if (fd >= 0 && ::syncfs(fd) == 0) {
        ::close(fd);
        return;
    }
#endif
    if (fd >= 0) ::close(fd);
    ::sync();
}
