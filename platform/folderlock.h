// An exclusive lock on a folder for the life of a process: a lock file in the folder, locked with
// the system's advisory file lock (on Windows, held open for writing and shared with readers only). The system releases the lock when the process ends in any way
// (a crash or SIGKILL included), so a stale lock file never keeps a later process out. The file
// holds the holder's process id and host name, so that a refused process can say who holds it.
#pragma once

#include <string>

class PlatFolderLock {
  public:
    PlatFolderLock() = default;
    ~PlatFolderLock();
    PlatFolderLock(const PlatFolderLock&) = delete;
    PlatFolderLock& operator=(const PlatFolderLock&) = delete;

    // Locks file (a host path; made when missing) without waiting. True when this process now
    // holds it. False when another holds it, with *holder set to what the holder wrote ("pid 123
    // on host"), or when the file cannot be made or locked, with *holder empty and the system's
    // reason in *error.
    bool Acquire(const std::string& file, std::string* holder, std::string* error);
    // Releases the lock (the file is left, empty). Also done on destruction.
    void Release();
#ifdef _WIN32
    bool Held() const { return handle_ != nullptr; }
#else
    bool Held() const { return fd_ >= 0; }
#endif
    // The file given to the last successful Acquire.
    const std::string& File() const { return file_; }

  private:
#ifdef _WIN32
    void* handle_ = nullptr;  // the lock file's HANDLE
#else
    int fd_ = -1;
#endif
    std::string file_;
};
