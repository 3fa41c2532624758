// The host-independent part of scattered and gathered socket transfers.
#include "platform/net.h"

int platIovecRemainder(const PLAT_IOVEC* pieces, int count, uint64_t done, PLAT_IOVEC* left) {
    int nleft = 0;
    for (int i = 0; i < count; ++i) {
        if (done >= pieces[i].len) {
            done -= pieces[i].len;
            continue;
        }
        left[nleft].base = static_cast<uint8_t*>(pieces[i].base) + done;
        left[nleft].len = pieces[i].len - size_t(done);
        done = 0;
        ++nleft;
    }
    return nleft;
}
