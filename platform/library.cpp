#include "platform/library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>

std::string platLibraryFolderOf(const void* address) {
#ifdef _WIN32
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module))
        return {};
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(module, path, sizeof path);
    if (n == 0 || n >= sizeof path) return {};
    return std::filesystem::path(path).parent_path().string();
#else
    Dl_info info{};
    if (!dladdr(address, &info) || info.dli_fname == nullptr) return {};
    return std::filesystem::path(info.dli_fname).parent_path().string();
#endif
}
