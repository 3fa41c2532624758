// The folder lock on Windows: the lock file opened for writing and shared with readers only, so
// that a second open for writing, by another process or by this one, fails with a sharing
// violation until the handle is closed (which the system does when the process ends).
#include "platform/folderlock.h"

#include <windows.h>

#include <cstdio>
#include <system_error>

#include "platform/clock.h"

namespace {

std::string systemText(DWORD code) {
    return std::system_category().message(int(code));
}

// What the holder wrote into file, or "another process" when it cannot be read.
std::string holderNote(const std::string& file) {
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string holder;
    if (h != INVALID_HANDLE_VALUE) {
        char text[256] = {};
        DWORD n = 0;
        if (ReadFile(h, text, sizeof text - 1, &n, nullptr) && n > 0) holder.assign(text, n);
        CloseHandle(h);
    }
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\r' || holder.back() == '\0'))
        holder.pop_back();
    return holder.empty() ? "another process" : holder;
}

}  // namespace

PlatFolderLock::~PlatFolderLock() {
    Release();
}

bool PlatFolderLock::Acquire(const std::string& file, std::string* holder, std::string* error) {
    holder->clear();
    error->clear();
    Release();
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD why = GetLastError();
        if (why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION)
            *holder = holderNote(file);
        else
            *error = systemText(why);
        return false;
    }
    char text[320];
    int n = std::snprintf(text, sizeof text, "pid %lu on %s\n",
                          static_cast<unsigned long>(platProcessId()), platHostName().c_str());
    // The lock holds even when the holder's note cannot be written.
    DWORD written = 0;
    SetEndOfFile(h);
    WriteFile(h, text, DWORD(n), &written, nullptr);
    handle_ = h;
    file_ = file;
    return true;
}

void PlatFolderLock::Release() {
    if (handle_ == nullptr) return;
    HANDLE h = static_cast<HANDLE>(handle_);
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
    CloseHandle(h);  // closing the only handle releases the lock
    handle_ = nullptr;
}
