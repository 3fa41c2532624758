// Where the program's pieces were loaded from.
#pragma once

#include <string>

// The folder of the loaded library (or program) whose code holds address, such as a function of
// a shared library; empty when the system cannot say.
std::string platLibraryFolderOf(const void* address);
