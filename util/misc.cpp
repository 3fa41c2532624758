// The socket start, sleeping, the traffic log's hex dump and address building.
#include <cctype>
#include <cstring>

#include "platform/clock.h"
#include "platform/errors.h"
#include "util/util.h"

namespace {

constexpr long kHexDumpBytesPerLine = 16;

uint16_t toNetworkOrder16(uint16_t value) {
    uint8_t bytes[2];
    utilPackUINT16(bytes, value);
    uint16_t net = 0;
    std::memcpy(&net, bytes, sizeof net);
    return net;
}

}  // namespace

bool utilNetworkInit() {
    return platNetworkStart();
}

void utilSleep(uint32_t milliseconds) {
    platSleepMs(milliseconds);
}

void utilHexDump(FILE* fp, const uint8_t* bytes, long length) {
    if (fp == nullptr || bytes == nullptr) return;
    for (long offset = 0; offset < length; offset += kHexDumpBytesPerLine) {
        long n = length - offset < kHexDumpBytesPerLine ? length - offset : kHexDumpBytesPerLine;
        std::fprintf(fp, "%08lx", static_cast<unsigned long>(offset));
        for (long i = 0; i < kHexDumpBytesPerLine; ++i) {
            if (i < n) {
                std::fprintf(fp, " %02x", bytes[offset + i]);
            } else {
                std::fputs("   ", fp);
            }
        }
        std::fputs(" | ", fp);
        for (long i = 0; i < n; ++i) {
            uint8_t c = bytes[offset + i];
            std::fputc(c < 0x80 && std::isprint(c) ? c : '.', fp);
        }
        std::fputc('\n', fp);
    }
}

bool utilSetHostAddr(PLAT_INADDR* address, const char* host, int port) {
    if (address == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    address->port = toNetworkOrder16(uint16_t(port));
    if (host == nullptr) {
        address->addr = 0;  // any address
        return true;
    }
    // Host-name lookup first; then the text as a dotted address, which needs no name.
    uint32_t addr = 0;
    if (platLookupHostName(host, &addr) || platParseDotted(host, &addr)) {
        address->addr = addr;
        return true;
    }
    platSetError(ENOENT_CODE);
    return false;
}
