// Private-profile (INI) files with the Windows behaviour the programs rely on.
//
// A file is read whole into lines; each line is a section header "[name]", a "key=value" line,
// or anything else (comments, blanks, garbage), which readers skip and writers keep. Names are
// compared without regard to case, and the first section or key of a name wins, as on Windows.
// A write rebuilds the file in a temporary file beside it and renames it over the old one.
#include "platform/profile.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/filewrite.h"

namespace fs = std::filesystem;

namespace {

// The folder of bare-named profile files when $WINDIR is not set: the system's Windows folder,
// and /etc on other hosts.
std::string defaultWindowsDir() {
#ifdef _WIN32
    char dir[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryA(dir, sizeof dir);
    if (n > 0 && n < sizeof dir) return platHostPath(dir);
    return "C:/Windows";
#else
    return "/etc";
#endif
}

// Read-modify-write of a settings file by several threads must not lose a key.
std::mutex g_writeMutex;

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The section name of a "[name]" line.
std::optional<std::string> sectionOf(const std::string& line) {
    std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return trim(t.substr(1, close - 1));
}

// The key and value of a "key=value" line; comment lines (";") and lines without a key are none.
std::optional<std::pair<std::string, std::string>> keyValueOf(const std::string& line) {
    std::string t = trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string key = trim(t.substr(0, eq));
    if (key.empty()) return std::nullopt;
    std::string value = trim(t.substr(eq + 1));
    // A value in a pair of matching quotes is given without them.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::make_pair(key, value);
}

struct ProfileFile {
    std::vector<std::string> lines;  // without their line ends ("\r" of CRLF files stripped)
    bool crlf = false;               // the file ends its lines with "\r\n"
};

ProfileFile readProfile(const std::string& path) {
    ProfileFile file;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return file;
    std::string text;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) text.append(chunk, n);
    std::fclose(in);
    // Lines as getline would split them: a final line without its end still counts, an empty
    // text after the last line end does not.
    bool first = true;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (first) file.crlf = true;
        }
        first = false;
        file.lines.push_back(std::move(line));
        at = end + 1;
    }
    return file;
}

// Index of the first header line of section, or npos.
size_t findSection(const ProfileFile& file, const std::string& section) {
    for (size_t i = 0; i < file.lines.size(); ++i) {
        auto name = sectionOf(file.lines[i]);
        if (name && sameName(*name, section)) return i;
    }
    return std::string::npos;
}

// One past the last line of the section whose header is at index header.
size_t sectionEnd(const ProfileFile& file, size_t header) {
    size_t i = header + 1;
    while (i < file.lines.size() && !sectionOf(file.lines[i])) ++i;
    return i;
}

size_t findKey(const ProfileFile& file, size_t header, const std::string& key) {
    size_t end = sectionEnd(file, header);
    for (size_t i = header + 1; i < end; ++i) {
        auto kv = keyValueOf(file.lines[i]);
        if (kv && sameName(kv->first, key)) return i;
    }
    return std::string::npos;
}

// Writes the lines to a temporary file beside path, then renames it over path.
bool writeProfile(const std::string& path, const ProfileFile& file) {
    std::string text;
    const char* eol = file.crlf ? "\r\n" : "\n";
    for (const auto& line : file.lines) text += line + eol;
    return platReplaceFileContents(path, text, nullptr);
}

}  // namespace

std::string platHostPath(const std::string& path) {
    std::string out = path;
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

std::string platResolveProfilePath(const std::string& file) {
    std::string path = platHostPath(file);
    if (path.find('/') == std::string::npos) {
        const char* windir = std::getenv("WINDIR");
        std::string dir =
            windir != nullptr && *windir != '\0' ? platHostPath(windir) : defaultWindowsDir();
        path = dir + "/" + path;
    }
    std::error_code ec;
    if (fs::exists(path, ec)) return path;
    // Windows file names ignore letter case: an existing file that differs only in case is
    // the file meant.
    fs::path p(path);
    fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
    std::string name = p.filename().string();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (sameName(it->path().filename().string(), name)) {
            return p.has_parent_path() ? (dir / it->path().filename()).string()
                                       : it->path().filename().string();
        }
    }
    return path;
}

std::string platGetProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue, const std::string& file) {
    ProfileFile profile = readProfile(platResolveProfilePath(file));
    size_t header = findSection(profile, section);
    if (header == std::string::npos) return defaultValue;
    size_t line = findKey(profile, header, key);
    if (line == std::string::npos) return defaultValue;
    return keyValueOf(profile.lines[line])->second;
}

int platGetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                      const std::string& file) {
    std::string value = platGetProfileString(section, key, std::string(), file);
    if (value.empty()) return defaultValue;
    const char* start = value.c_str();
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(start, &end, 10);
    if (end == start) return defaultValue;
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return int(number);
}

namespace {

std::string lowerName(const std::string& name) {
    std::string out = name;
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Sets entries [first, last), all of one section, in the file's lines: the section is found and
// its keys are read once, whatever the number of entries. Missing keys go after the section's
// last non-blank line, before any blank lines that separate it from the next section; a missing
// section is added at the end.
void setSectionKeys(ProfileFile& profile, const PLAT_PROFILE_ENTRY* first,
                    const PLAT_PROFILE_ENTRY* last) {
    size_t header = findSection(profile, first->section);
    if (header == std::string::npos) {
        header = profile.lines.size();
        profile.lines.push_back("[" + first->section + "]");
    }
    size_t end = sectionEnd(profile, header);
    std::unordered_map<std::string, size_t> keys;
    for (size_t i = header + 1; i < end; ++i) {
        auto kv = keyValueOf(profile.lines[i]);
        if (kv) keys.emplace(lowerName(kv->first), i);  // the first of a doubled key counts
    }
    std::vector<std::string> added;
    std::unordered_map<std::string, size_t> addedKeys;  // index in added
    for (const PLAT_PROFILE_ENTRY* e = first; e != last; ++e) {
        std::string entry = e->key + "=" + e->value;
        std::string name = lowerName(e->key);
        if (auto it = keys.find(name); it != keys.end()) {
            profile.lines[it->second] = entry;
        } else if (auto at = addedKeys.find(name); at != addedKeys.end()) {
            added[at->second] = entry;  // a key given twice in one batch: the last value wins
        } else {
            addedKeys.emplace(name, added.size());
            added.push_back(entry);
        }
    }
    size_t at = end;
    while (at > header + 1 && trim(profile.lines[at - 1]).empty()) --at;
    profile.lines.insert(profile.lines.begin() + long(at), added.begin(), added.end());
}

}  // namespace

bool platWriteProfileString(const std::string& section, const std::string& key,
                            const std::string& value, const std::string& file) {
    return platWriteProfileStrings({{section, key, value}}, file);
}

bool platWriteProfileStrings(const std::vector<PLAT_PROFILE_ENTRY>& entries,
                             const std::string& file) {
    for (const auto& e : entries) {
        if (e.section.empty() || e.key.empty()) {
            platSetError(WSAEINVAL);
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(g_writeMutex);
    std::string path = platResolveProfilePath(file);
    ProfileFile profile = readProfile(path);
    for (size_t i = 0; i < entries.size();) {
        size_t j = i + 1;
        while (j < entries.size() && sameName(entries[j].section, entries[i].section)) ++j;
        setSectionKeys(profile, entries.data() + i, entries.data() + j);
        i = j;
    }
    return writeProfile(path, profile);
}

bool platDeleteProfileKey(const std::string& section, const std::string& key,
                          const std::string& file) {
    std::lock_guard<std::mutex> lock(g_writeMutex);
    std::string path = platResolveProfilePath(file);
    ProfileFile profile = readProfile(path);
    size_t header = findSection(profile, section);
    if (header == std::string::npos) return true;
    size_t line = findKey(profile, header, key);
    if (line == std::string::npos) return true;
    profile.lines.erase(profile.lines.begin() + long(line));
    return writeProfile(path, profile);
}

bool platDeleteProfileSection(const std::string& section, const std::string& file) {
    std::lock_guard<std::mutex> lock(g_writeMutex);
    std::string path = platResolveProfilePath(file);
    ProfileFile profile = readProfile(path);
    size_t header = findSection(profile, section);
    if (header == std::string::npos) return true;
    profile.lines.erase(profile.lines.begin() + long(header),
                        profile.lines.begin() + long(sectionEnd(profile, header)));
    return writeProfile(path, profile);
}

PlatProfileSnapshot::PlatProfileSnapshot(const std::string& file) {
    const std::string path = platResolveProfilePath(file);
    std::error_code ec;
    found_ = fs::is_regular_file(path, ec);
    const ProfileFile profile = readProfile(path);
    std::unordered_map<std::string, std::string>* current = nullptr;
    for (const std::string& line : profile.lines) {
        if (auto name = sectionOf(line)) {
            // The first section of a name wins: a later one of the same name is not read.
            const std::string lower = lowerName(*name);
            current = sections_.count(lower) ? nullptr : &sections_[lower];
        } else if (auto kv = keyValueOf(line); kv && current != nullptr) {
            current->emplace(lowerName(kv->first), kv->second);  // the first key of a name wins
        }
    }
}

std::string PlatProfileSnapshot::Get(const std::string& section, const std::string& key,
                                     const std::string& defaultValue) const {
    auto s = sections_.find(lowerName(section));
    if (s == sections_.end()) return defaultValue;
    auto k = s->second.find(lowerName(key));
    return k == s->second.end() ? defaultValue : k->second;
}

void PlatProfileSnapshot::Set(const std::string& section, const std::string& key,
                              const std::string& value) {
    sections_[lowerName(section)][lowerName(key)] = value;
}

std::vector<std::pair<std::string, std::string>> platGetProfileSection(const std::string& section,
                                                                       const std::string& file) {
    std::vector<std::pair<std::string, std::string>> entries;
    ProfileFile profile = readProfile(platResolveProfilePath(file));
    size_t header = findSection(profile, section);
    if (header == std::string::npos) return entries;
    size_t end = sectionEnd(profile, header);
    for (size_t i = header + 1; i < end; ++i) {
        auto kv = keyValueOf(profile.lines[i]);
        if (kv) entries.push_back(*kv);
    }
    return entries;
}
