// The server's two lists entry by entry, without a socket: any bytes as a state-of-health or a
// configuration entry unpack within their wire size, and a configuration list made of them can be
// matched against any typed names.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "isi/isi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ISI_STREAM_CNF> entries;
    size_t at = 0;
    for (; at + ISI_STREAM_CNF_WIRE_LEN <= size && entries.size() < 64;
         at += ISI_STREAM_CNF_WIRE_LEN) {
        ISI_STREAM_CNF cnf;
        if (isiUnpackStreamCnf(data + at, &cnf) != ISI_STREAM_CNF_WIRE_LEN) __builtin_trap();
        if (cnf.inst[ISI_CNF_TEXT_LEN] != '\0' || cnf.name.sta[ISI_STALEN] != '\0')
            __builtin_trap();
        isiSrateToInterval(cnf.factor, cnf.multiplier);
        entries.push_back(cnf);
    }
    if (size >= ISI_STREAM_SOH_WIRE_LEN) {
        ISI_STREAM_SOH soh;
        if (isiUnpackStreamSoh(data, &soh) != ISI_STREAM_SOH_WIRE_LEN) __builtin_trap();
        uint8_t back[ISI_STREAM_SOH_WIRE_LEN];
        isiPackStreamSoh(back, &soh);
    }
    // The rest of the input as typed names, matched against the list.
    const std::string text(reinterpret_cast<const char*>(data) + at, size - at);
    std::vector<ISI_STREAM_ID> patterns, found, unmatched;
    if (!isiParseStreamNames(text, &patterns, nullptr)) return 0;
    const ISI_CNF_LIST list{uint32_t(entries.size()), entries.data()};
    isiExpandStreamPatterns(patterns, list, &found, &unmatched);
    if (found.size() > entries.size() || unmatched.size() > patterns.size()) __builtin_trap();
    return 0;
}
