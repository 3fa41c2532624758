// Wire forms of stream names, request items, the time-series header and the list entries.
// Big-endian throughout; names are fixed-width fields, NUL-padded, without terminators.
#include <cstring>

#include "isi/isi.h"

namespace {

// Copies a NUL-terminated text into a fixed field of width bytes, padding with NUL.
int packFixed(uint8_t* out, const char* text, int width) {
    int n = 0;
    while (n < width && text[n] != '\0') {
        out[n] = static_cast<uint8_t>(text[n]);
        ++n;
    }
    std::memset(out + n, 0, static_cast<size_t>(width - n));
    return width;
}

// Reads a fixed field into dest (width + 1 bytes), always terminated.
int unpackFixed(const uint8_t* in, char* dest, int width) {
    std::memcpy(dest, in, static_cast<size_t>(width));
    dest[width] = '\0';
    return width;
}

}  // namespace

int isiPackStreamName(uint8_t* out, const ISI_STREAM_ID* name) {
    int n = packFixed(out, name->sta, ISI_STALEN);
    n += packFixed(out + n, name->chn, ISI_CHNLEN);
    n += packFixed(out + n, name->loc, ISI_LOCLEN);
    return n;
}

int isiUnpackStreamName(const uint8_t* in, ISI_STREAM_ID* name) {
    std::memset(name, 0, sizeof(*name));
    int n = unpackFixed(in, name->sta, ISI_STALEN);
    n += unpackFixed(in + n, name->chn, ISI_CHNLEN);
    n += unpackFixed(in + n, name->loc, ISI_LOCLEN);
    return n;
}

int isiPackTwindItem(uint8_t* out, const ISI_TWIND_ITEM* item) {
    int n = isiPackStreamName(out, &item->name);
    n += utilPackREAL64(out + n, item->beg);
    n += utilPackREAL64(out + n, item->end);
    return n;
}

int isiUnpackTwindItem(const uint8_t* in, ISI_TWIND_ITEM* item) {
    std::memset(item, 0, sizeof(*item));
    int n = isiUnpackStreamName(in, &item->name);
    n += utilUnpackREAL64(in + n, &item->beg);
    n += utilUnpackREAL64(in + n, &item->end);
    return n;
}

int isiPackSeqno(uint8_t* out, const ISI_SEQNO_VALUE* seqno) {
    int n = utilPackUINT32(out, seqno->signature);
    n += utilPackUINT64(out + n, seqno->counter);
    return n;
}

int isiUnpackSeqno(const uint8_t* in, ISI_SEQNO_VALUE* seqno) {
    int n = utilUnpackUINT32(in, &seqno->signature);
    n += utilUnpackUINT64(in + n, &seqno->counter);
    return n;
}

int isiPackSeqnoItem(uint8_t* out, const ISI_SEQNO_ITEM* item) {
    int n = packFixed(out, item->site, ISI_STALEN);
    n += isiPackSeqno(out + n, &item->beg);
    n += isiPackSeqno(out + n, &item->end);
    return n;
}

int isiUnpackSeqnoItem(const uint8_t* in, ISI_SEQNO_ITEM* item) {
    std::memset(item, 0, sizeof(*item));
    int n = unpackFixed(in, item->site, ISI_STALEN);
    n += isiUnpackSeqno(in + n, &item->beg);
    n += isiUnpackSeqno(in + n, &item->end);
    return n;
}

int isiPackTSHeader(uint8_t* out, const ISI_TS_PACKET* packet) {
    int n = isiPackStreamName(out, &packet->name);
    n += utilPackINT16(out + n, packet->factor);
    n += utilPackINT16(out + n, packet->multiplier);
    n += utilPackREAL64(out + n, packet->tofs);
    n += utilPackUINT16(out + n, packet->tofs_status);
    n += utilPackREAL64(out + n, packet->tols);
    n += utilPackUINT16(out + n, packet->tols_status);
    n += utilPackBytes(out + n, packet->desc_bytes, sizeof(packet->desc_bytes));
    n += utilPackREAL64(out + n, packet->desc_real);
    n += utilPackUINT32(out + n, packet->desc_value);
    n += utilPackUINT32(out + n, packet->nsamp);
    n += utilPackUINT32(out + n, packet->nbytes);
    out[n++] = packet->compress;
    out[n++] = packet->datatype;
    out[n++] = packet->order;
    out[n++] = packet->sampsiz;
    return n;
}

int isiUnpackTSHeader(const uint8_t* in, ISI_TS_PACKET* packet) {
    int n = isiUnpackStreamName(in, &packet->name);
    n += utilUnpackINT16(in + n, &packet->factor);
    n += utilUnpackINT16(in + n, &packet->multiplier);
    n += utilUnpackREAL64(in + n, &packet->tofs);
    n += utilUnpackUINT16(in + n, &packet->tofs_status);
    n += utilUnpackREAL64(in + n, &packet->tols);
    n += utilUnpackUINT16(in + n, &packet->tols_status);
    n += utilUnpackBytes(in + n, packet->desc_bytes, sizeof(packet->desc_bytes));
    n += utilUnpackREAL64(in + n, &packet->desc_real);
    n += utilUnpackUINT32(in + n, &packet->desc_value);
    n += utilUnpackUINT32(in + n, &packet->nsamp);
    n += utilUnpackUINT32(in + n, &packet->nbytes);
    packet->compress = in[n++];
    packet->datatype = in[n++];
    packet->order = in[n++];
    packet->sampsiz = in[n++];
    return n;
}

int isiPackStreamSoh(uint8_t* out, const ISI_STREAM_SOH* soh) {
    int n = isiPackStreamName(out, &soh->name);
    n += utilPackREAL64(out + n, soh->tofs);
    n += utilPackUINT16(out + n, soh->tofs_status);
    n += utilPackREAL64(out + n, soh->tols);
    n += utilPackUINT16(out + n, soh->tols_status);
    n += utilPackREAL64(out + n, soh->tslw);
    n += utilPackUINT32(out + n, soh->nseg);
    n += utilPackUINT32(out + n, soh->nrec);
    return n;
}

int isiUnpackStreamSoh(const uint8_t* in, ISI_STREAM_SOH* soh) {
    std::memset(soh, 0, sizeof(*soh));
    int n = isiUnpackStreamName(in, &soh->name);
    n += utilUnpackREAL64(in + n, &soh->tofs);
    n += utilUnpackUINT16(in + n, &soh->tofs_status);
    n += utilUnpackREAL64(in + n, &soh->tols);
    n += utilUnpackUINT16(in + n, &soh->tols_status);
    n += utilUnpackREAL64(in + n, &soh->tslw);
    n += utilUnpackUINT32(in + n, &soh->nseg);
    n += utilUnpackUINT32(in + n, &soh->nrec);
    return n;
}

int isiPackStreamCnf(uint8_t* out, const ISI_STREAM_CNF* cnf) {
    int n = isiPackStreamName(out, &cnf->name);
    n += utilPackINT16(out + n, cnf->factor);
    n += utilPackINT16(out + n, cnf->multiplier);
    for (REAL32 value : {cnf->lat, cnf->lon, cnf->elev, cnf->depth, cnf->calib, cnf->calper,
                         cnf->hang, cnf->vang}) {
        n += utilPackREAL32(out + n, value);
    }
    n += packFixed(out + n, cnf->inst, ISI_CNF_TEXT_LEN);
    return n;
}

int isiUnpackStreamCnf(const uint8_t* in, ISI_STREAM_CNF* cnf) {
    std::memset(cnf, 0, sizeof(*cnf));
    int n = isiUnpackStreamName(in, &cnf->name);
    n += utilUnpackINT16(in + n, &cnf->factor);
    n += utilUnpackINT16(in + n, &cnf->multiplier);
    for (REAL32* value : {&cnf->lat, &cnf->lon, &cnf->elev, &cnf->depth, &cnf->calib, &cnf->calper,
                          &cnf->hang, &cnf->vang}) {
        n += utilUnpackREAL32(in + n, value);
    }
    n += unpackFixed(in + n, cnf->inst, ISI_CNF_TEXT_LEN);
    return n;
}
