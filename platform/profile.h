// Private-profile (INI) files with the behaviour the programs rely on from Windows:
//  - a missing file, section or key gives the default;
//  - section and key names are compared without regard to case;
//  - a write changes one key and keeps every other line of the file, and replaces the file
//    atomically (a temporary file, then a rename), so a crash never leaves a torn file;
//  - a bare file name without a folder is looked up in the folder named by WINDIR, else /etc;
//  - an existing file whose name differs only in letter case is the same file;
//  - path texts may use "\\" or "/" as separator.
// Lines that are neither "[section]" nor "key=value" are ignored on reading and kept on writing.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

std::string platGetProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue, const std::string& file);

// The integer at the start of the value (decimal, with an optional sign), or the default when
// the key is missing or its value does not start with a number.
int platGetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                      const std::string& file);

// Writes key=value into section, adding the section or key when missing.
bool platWriteProfileString(const std::string& section, const std::string& key,
                            const std::string& value, const std::string& file);

// One key of a batch write.
struct PLAT_PROFILE_ENTRY {
    std::string section;
    std::string key;
    std::string value;
};
// Writes every entry (as platWriteProfileString would) in one rewrite of the file: all of them
// or, when the file cannot be replaced, none. False with the platform error set on failure.
bool platWriteProfileStrings(const std::vector<PLAT_PROFILE_ENTRY>& entries,
                             const std::string& file);

// Removes one key, or a whole section with all its keys.
bool platDeleteProfileKey(const std::string& section, const std::string& key,
                          const std::string& file);
bool platDeleteProfileSection(const std::string& section, const std::string& file);

// The keys and values of a section in file order (empty when missing).
std::vector<std::pair<std::string, std::string>> platGetProfileSection(const std::string& section,
                                                                       const std::string& file);

// A settings file read once, for a program that reads many keys of it (the recorder reads a key
// per channel at start): every look-up answers as platGetProfileString would have answered on
// the file as it was when read, in constant time. A missing file reads as empty.
class PlatProfileSnapshot {
  public:
    PlatProfileSnapshot() = default;
    explicit PlatProfileSnapshot(const std::string& file);
    // The value, or defaultValue when the section or key was not there.
    std::string Get(const std::string& section, const std::string& key,
                    const std::string& defaultValue) const;
    // Whether the file existed when read.
    bool Found() const { return found_; }
    // Records a value written since (the snapshot then answers as the file does now).
    void Set(const std::string& section, const std::string& key, const std::string& value);

  private:
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections_;
    bool found_ = false;
};

// The host path a settings path text names: separators become the host's, a bare name is looked
// up in the Windows directory (WINDIR, else /etc), and an existing file of the same name in
// another letter case is taken.
std::string platResolveProfilePath(const std::string& file);

// A path text with either separator turned into the host's form ("..\\log" -> "../log").
std::string platHostPath(const std::string& path);
