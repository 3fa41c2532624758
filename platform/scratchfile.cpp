#include "platform/scratchfile.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/uio.h>
#include <unistd.h>
#endif
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

#include "platform/clock.h"

#ifdef _WIN32

int platOpenScratchFile(const std::string& folder, std::string* error) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = folder + "\\isi" + std::to_string(platProcessId()) + "-" +
                           std::to_string(serial++) + ".tmp";
        // Shared with nobody, and deleted by the system when the last handle closes.
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            *error = std::system_category().message(int(GetLastError()));
            return -1;
        }
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
        if (fd < 0) {
            *error = std::strerror(errno);
            CloseHandle(h);
        }
        return fd;
    }
    *error = "no free scratch file name";
    return -1;
}

long platWriteGathered(int fd, const PLAT_IOVEC* pieces, int count) {
    long total = 0;
    for (int i = 0; i < count; ++i) {
        size_t done = 0;
        while (done < pieces[i].len) {
            unsigned chunk = unsigned(std::min<size_t>(pieces[i].len - done, INT_MAX));
            int n = ::_write(fd, static_cast<const char*>(pieces[i].base) + done, chunk);
            if (n <= 0) return total > 0 ? total : -1;
            done += size_t(n);
            total += n;
        }
    }
    return total;
}

long platReadFile(int fd, void* buffer, size_t size) {
    return ::_read(fd, buffer, unsigned(std::min<size_t>(size, INT_MAX)));
}

bool platRewindFile(int fd) {
    return ::_lseeki64(fd, 0, SEEK_SET) == 0;
}

#else

int platOpenScratchFile(const std::string& folder, std::string* error) {
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        // File systems without O_TMPFILE: a unique "isi" name, removed at once.
        std::string pattern = folder + "/isiXXXXXX";
        fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(pattern.c_str());
    }
    if (fd < 0) *error = std::strerror(errno);
    return fd;
}

long platWriteGathered(int fd, const PLAT_IOVEC* pieces, int count) {
    constexpr int kMaxPieces = 8;
    iovec parts[kMaxPieces];
    if (count < 0 || count > kMaxPieces) {
        errno = EINVAL;
        return -1;
    }
    for (int i = 0; i < count; ++i) parts[i] = {pieces[i].base, pieces[i].len};
    ssize_t n;
    do n = ::writev(fd, parts, count);
    while (n < 0 && errno == EINTR);
    return long(n);
}

long platReadFile(int fd, void* buffer, size_t size) {
    ssize_t n;
    do n = ::read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return long(n);
}

bool platRewindFile(int fd) {
    return ::lseek(fd, 0, SEEK_SET) == 0;
}

#endif

void platCloseFile(int fd) {
    if (fd >= 0) ::close(fd);
}
