// Scratch files: private temporary files that the system deletes when they are closed or when the
// process ends in any way, so that nothing is left behind after a crash. Read and written in
// binary (no line-end translation on any host).
#pragma once

#include <cstddef>
#include <string>

#include "platform/net.h"

// Creates a scratch file in folder (it must exist) and returns its descriptor, or -1 with the
// system's reason in *error. POSIX hosts make it without a name (O_TMPFILE) or remove its name at
// once; Windows opens it delete-on-close and shared with nobody.
int platOpenScratchFile(const std::string& folder, std::string* error);

// Writes the pieces in turn at the file's position, as far as it goes. Returns the bytes written
// (fewer than asked only when a write failed part way), or -1 when nothing could be written,
// with errno set.
long platWriteGathered(int fd, const PLAT_IOVEC* pieces, int count);

// Reads up to size bytes at the file's position: the count, 0 at the end, -1 with errno set.
long platReadFile(int fd, void* buffer, size_t size);

// Moves to the start of the file. False with errno set.
bool platRewindFile(int fd);

// Closes the descriptor (a scratch file is deleted then). Nothing for -1.
void platCloseFile(int fd);
