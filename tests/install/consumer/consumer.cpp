// Builds a data request and formats a time through the installed headers and library only.
#include <cstdio>
#include <cstring>

#include "isi/isi.h"

int main() {
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(0.0, 60.0, "ANMO.BHZ+ANMO.LHZ.00");
    if (request == nullptr) return 1;
    char text[64];
    utilTimeString(86400.0, 0, text);
    std::printf("%s %s\n", text, request->nreq == 2 ? "2 items" : "wrong count");
    isiFreeDataRequest(request);
    return std::strcmp(text, "1970:002-00:00:00.000") == 0 ? 0 : 1;
}
