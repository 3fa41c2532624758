// Writing data files, with a hook through which a test can make the disk full. Every byte a
// writer of waveform files puts on disk goes through platWriteFile, so a full disk, a quota or a
// failing device reach the caller as the system reports them.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

// Writes the pieces one after another at the end of the file at path. With truncate the file is
// created or emptied first; without it the file must exist (it is never created). True when every
// byte was written and the file closed. False with the system's reason in *error ("No space left
// on device"); the file may then hold part of the bytes, which the caller cuts back. *opened (when
// given) tells whether the file was opened at all, that is whether it may have been changed;
// *sizeBefore (when given) receives the file's size when it was opened, the offset the pieces went
// to (-1 when it was not opened or its end could not be found).
bool platWriteFile(const std::string& path, bool truncate,
                   std::initializer_list<std::span<const char>> pieces, std::string* error,
                   bool* opened = nullptr, long long* sizeBefore = nullptr);

// Replaces the file at path with text as one step: the text goes to a new file beside it (with
// the old file's permissions), reaches the disk, and is renamed over path (replacing it on every
// host, Windows included; there a reader holding the old file open delays it up to 2 seconds). A
// reader sees the old file or the new one, never a part. True on
// success; false with the system's reason in *error (may be null) and the thread's error
// variable set, path untouched and no temporary file left.
bool platReplaceFileContents(const std::string& path, std::string_view text, std::string* error);

// Cuts the file at path to size bytes. False with the system's reason in *error.
bool platTruncateFile(const std::string& path, long long size, std::string* error);

// Brings every written byte of the file system that holds folder to the disk (all file systems
// where the system cannot sync just one). Nothing on Windows, where only an administrator may
// flush a volume: there platWriteFile brings each file to the disk before it returns.
void platSyncFileSystem(const std::string& folder);

// Tests: called before every write with the bytes about to be written; returns how many the disk
// takes. Fewer makes the write stop there with ENOSPC. None (the default) takes everything.
using PlatDiskSpaceHook = std::function<size_t(size_t requested)>;
void platSetDiskSpaceHookForTests(PlatDiskSpaceHook hook);
