// Stream name specifiers: "STA.CHN[.LOC]" pieces joined by "+", "*" passed on as a wildcard.
#include <string_view>

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

constexpr std::string_view kPieceSeparator = "+";
constexpr std::string_view kPartSeparators = ".,:;/\\";
constexpr const char* kDefaultSpecifier = "*.*.*";

// Splits text at runs of any of the separators, dropping empty parts.
std::vector<std::string_view> splitRuns(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t start = text.find_first_not_of(separators, pos);
        if (start == std::string_view::npos) break;
        size_t stop = text.find_first_of(separators, start);
        if (stop == std::string_view::npos) stop = text.size();
        parts.push_back(text.substr(start, stop - start));
        pos = stop;
    }
    return parts;
}

}  // namespace

/* isiExpandStreamNames: the names of specifier in order. False (WSAEINVAL) when a piece has a
 * single part; the names vector is then left empty. */
bool isiExpandStreamNames(const char* specifier, std::vector<ISI_STREAM_ID>* names) {
    if (names == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    names->clear();
    std::string_view text = specifier != nullptr ? specifier : kDefaultSpecifier;
    for (std::string_view piece : splitRuns(text, kPieceSeparator)) {
        std::vector<std::string_view> parts = splitRuns(piece, kPartSeparators);
        if (parts.size() < 2) {
            names->clear();
            platSetError(WSAEINVAL);
            return false;
        }
        // A fourth part and what follows it are ignored.
        std::string sta(parts[0]), chn(parts[1]);
        std::string loc = parts.size() >= 3 ? std::string(parts[2]) : std::string("  ");
        ISI_STREAM_ID name;
        isiSetStreamId(&name, sta.c_str(), chn.c_str(), loc.c_str());
        names->push_back(name);
    }
    return true;
}

/* isiExpandStreamNameSpecifier: a list of ISI_STREAM_ID entries, or none when the specifier is
 * invalid or memory runs out. */
UTIL_LIST* isiExpandStreamNameSpecifier(const char* specifier) {
    std::vector<ISI_STREAM_ID> names;
    if (!isiExpandStreamNames(specifier, &names)) return nullptr;
    UTIL_LIST* list = utilCreateList(nullptr);
    if (list == nullptr) return nullptr;
    for (const ISI_STREAM_ID& name : names) {
        if (!utilAppendEntry(list, &name, sizeof(name))) {
            utilDestroyList(list);
            return nullptr;
        }
    }
    return list;
}
