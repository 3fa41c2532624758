#include "platform/folderlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

PlatFolderLock::~PlatFolderLock() {
    Release();
}

bool PlatFolderLock::Acquire(const std::string& file, std::string* holder, std::string* error) {
    holder->clear();
    error->clear();
    Release();
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    // flock: bound to the open file, so a child that inherits nothing (O_CLOEXEC) and a thread of
    // this process that opens the file again are both refused like another process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int why = errno;
        if (why == EWOULDBLOCK) {
            char text[256] = {};
            ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            *holder = n > 0 ? std::string(text, static_cast<size_t>(n)) : "another process";
            while (!holder->empty() && (holder->back() == '\n' || holder->back() == '\0'))
                holder->pop_back();
        } else {
            *error = std::strerror(why);
        }
        ::close(fd);
        return false;
    }
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    char text[320];
    int n =
        std::snprintf(text, sizeof text, "pid %ld on %s\n", static_cast<long>(::getpid()), host);
    // The lock holds even when the holder's note cannot be written.
    [[maybe_unused]] bool noted =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, text, static_cast<size_t>(n), 0) == n;
    fd_ = fd;
    file_ = file;
    return true;
}

void PlatFolderLock::Release() {
    if (fd_ < 0) return;
    [[maybe_unused]] int rc = ::ftruncate(fd_, 0);
    ::close(fd_);  // closing the only descriptor releases the lock
    fd_ = -1;
}
