// INI files as any editor or disk may leave them: reading keys, sections and the snapshot never
// fails, and a write keeps every other line, so the key written reads back as written and every
// other key keeps its value.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/profile.h"

namespace {

std::string scratchFile() {
    static const std::string path = "/tmp/fuzz_profile_" + std::to_string(getpid()) + ".ini";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = scratchFile();
    if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    // Names from the input itself, so that sections and keys it holds are found.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string section = text.substr(0, text.find('\n') == std::string::npos ? 0 : 8);
    const std::vector<std::pair<std::string, std::string>> before =
        platGetProfileSection("GROUP1", file);
    platGetProfileSection(section, file);
    platGetProfileString("SYSTEM", "SERVER", "none", file);
    platGetProfileInt("SYSTEM", "PORT", 39136, file);
    PlatProfileSnapshot snapshot(file);
    const std::string server = snapshot.Get("SYSTEM", "SERVER", "none");
    if (server != platGetProfileString("SYSTEM", "SERVER", "none", file)) __builtin_trap();

    if (platWriteProfileString("GROUP1", "BHZ", "1796724000", file)) {
        if (platGetProfileString("GROUP1", "BHZ", "", file) != "1796724000") __builtin_trap();
        if (platGetProfileString("SYSTEM", "SERVER", "none", file) != server) __builtin_trap();
    }
    return 0;
}
