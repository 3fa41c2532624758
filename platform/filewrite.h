// Writing data files, with a hook through which a test can make the disk full. Every byte a
// writer of waveform files puts on disk goes through platWriteFile, so a full disk, a quota or a
// failing device reach the caller as the system reports them.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>

// Writes the pieces one after another at the end of the file at path. With truncate the file is
// created or emptied first; without it the file must exist (it is never created). True when every
// byte was written and the file closed. False with the system's reason in *error ("No space left
// on device"); the file may then hold part of the bytes, which the caller cuts back. *opened (when
// given) tells whether the file was opened at all, that is whether it may have been changed.
bool platWriteFile(const std::string& path, bool truncate,
                   std::initializer_list<std::span<const char>> pieces, std::string* error,
                   bool* opened = nullptr);

// Cuts the file at path to size bytes. False with the system's reason in *error.
bool platTruncateFile(const std::string& path, long long size, std::string* error);

// Brings every written byte of the file system that holds folder to the disk (all file systems
// where the system cannot sync just one).
void platSyncFileSystem(const std::string& folder);

// Tests: called before every write with the bytes about to be written; returns how many the disk
// takes. Fewer makes the write stop there with ENOSPC. None (the default) takes everything.
using PlatDiskSpaceHook = std::function<size_t(size_t requested)>;
void platSetDiskSpaceHookForTests(PlatDiskSpaceHook hook);
