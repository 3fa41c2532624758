// Stream names: building, printing and comparing.
#include <cstdio>
#include <cstring>

#include "isi/isi.h"

namespace {

void copyPart(char* dest, const char* src, int width) {
    std::memset(dest, 0, static_cast<size_t>(width + 1));
    for (int i = 0; src != nullptr && i < width && src[i] != '\0'; ++i) dest[i] = src[i];
}

}  // namespace

void isiSetStreamId(ISI_STREAM_ID* name, const char* sta, const char* chn, const char* loc) {
    copyPart(name->sta, sta, ISI_STALEN);
    copyPart(name->chn, chn, ISI_CHNLEN);
    // Two blanks are the wire's way of saying "no location code".
    copyPart(name->loc, (loc == nullptr || loc[0] == '\0') ? "  " : loc, ISI_LOCLEN);
}

char* isiStreamIdString(const ISI_STREAM_ID* name, char* buf, size_t len) {
    if (buf == nullptr || len == 0) return buf;
    bool noLocation = name->loc[0] == '\0' || std::strcmp(name->loc, "  ") == 0;
    if (noLocation) {
        std::snprintf(buf, len, "%s.%s", name->sta, name->chn);
    } else {
        std::snprintf(buf, len, "%s.%s.%s", name->sta, name->chn, name->loc);
    }
    return buf;
}

bool isiStreamIdEqual(const ISI_STREAM_ID* a, const ISI_STREAM_ID* b) {
    return std::strcmp(a->sta, b->sta) == 0 && std::strcmp(a->chn, b->chn) == 0 &&
           std::strcmp(a->loc, b->loc) == 0;
}
