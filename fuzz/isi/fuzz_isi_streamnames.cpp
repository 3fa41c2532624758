// The stream-name parser on any typed text, and its names matched against a server's list made of
// the same input: a name it takes fits the wire's parts and is refused nowhere else; every
// concrete name the expansion gives is one of the list's and matches a pattern.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "isi/isi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<ISI_STREAM_ID> names;
    std::string error;
    if (!isiParseStreamNames(text, &names, &error)) {
        if (error.empty() || !names.empty()) __builtin_trap();
        return 0;
    }
    for (const ISI_STREAM_ID& n : names) {
        if (std::strlen(n.sta) == 0 || std::strlen(n.sta) > ISI_STALEN || std::strlen(n.chn) == 0 ||
            std::strlen(n.chn) > ISI_CHNLEN || std::strlen(n.loc) > ISI_LOCLEN)
            __builtin_trap();
        char printed[ISI_STREAM_NAME_WIRE_LEN + 3];
        isiStreamIdString(&n, printed, sizeof printed);
        ISI_STREAM_ID again;
        if (!isiParseStreamName(printed, &again, nullptr) || !isiStreamIdEqual(&again, &n))
            __builtin_trap();
    }
    // The list: the names with their wildcards read as plain characters.
    std::vector<ISI_STREAM_CNF> entries(names.size());
    for (size_t i = 0; i < names.size(); ++i) entries[i].name = names[i];
    const ISI_CNF_LIST list{uint32_t(entries.size()), entries.data()};
    std::vector<ISI_STREAM_ID> found, unmatched;
    isiExpandStreamPatterns(names, list, &found, &unmatched);
    for (const ISI_STREAM_ID& f : found) {
        bool listed = false, matched = false;
        for (const ISI_STREAM_CNF& e : entries) listed = listed || isiStreamIdEqual(&e.name, &f);
        for (const ISI_STREAM_ID& p : names) matched = matched || isiStreamIdMatches(&p, &f);
        if (!listed || !matched) __builtin_trap();
    }
    // Every pattern matches itself (a wildcard matches its own character).
    if (!unmatched.empty()) __builtin_trap();
    return 0;
}
