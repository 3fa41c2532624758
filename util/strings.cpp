// Bounded copies and field splitting.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "util/util.h"

char* utilCopyBounded(char* dest, const char* src, size_t size) {
    if (dest == nullptr || src == nullptr || size == 0) return nullptr;
    // strnlen: the source need not be terminated within size bytes.
    size_t len = strnlen(src, size);
    if (len >= size) len = size - 1;
    std::memmove(dest, src, len);
    dest[len] = '\0';
    return dest;
}

char* utilPrintable(char* dest, const char* text, size_t size) {
    if (dest == nullptr || text == nullptr || size == 0) return nullptr;
    static const char kHex[] = "0123456789abcdef";
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        char piece[5];
        size_t n = 0;
        switch (*p) {
            case '\n': piece[n++] = '\\'; piece[n++] = 'n'; break;
            case '\r': piece[n++] = '\\'; piece[n++] = 'r'; break;
            case '\t': piece[n++] = '\\'; piece[n++] = 't'; break;
            case '\\': piece[n++] = '\\'; piece[n++] = '\\'; break;
            default:
                if (*p < 0x20 || *p >= 0x7f) {
                    piece[n++] = '\\';
                    piece[n++] = 'x';
                    piece[n++] = kHex[*p >> 4];
                    piece[n++] = kHex[*p & 0xf];
                } else {
                    piece[n++] = static_cast<char>(*p);
                }
        }
        if (used + n >= size) break;  // never half an escape
        std::memcpy(dest + used, piece, n);
        used += n;
    }
    dest[used] = '\0';
    return dest;
}

int utilSplitFields(char* text, char** fields, int maxfield, const char* separators, char quote) {
    if (text == nullptr || fields == nullptr || separators == nullptr || maxfield < 1) {
        platSetError(WSAEINVAL);
        return -1;
    }
    auto isSeparator = [separators](char c) {
        return c != '\0' && std::strchr(separators, c) != nullptr;
    };
    int count = 0;
    char* p = text;
    while (isSeparator(*p)) ++p;
    while (*p != '\0' && count < maxfield) {
        fields[count++] = p;
        // Separators between a pair of quote characters belong to the field; the quotes stay.
        bool quoted = false;
        while (*p != '\0' && (quoted || !isSeparator(*p))) {
            if (quote != '\0' && *p == quote) quoted = !quoted;
            ++p;
        }
        if (*p == '\0') break;
        *p++ = '\0';
        while (isSeparator(*p)) ++p;
    }
    return count;
}

UTIL_LIST* utilTokenList(const char* text, const char* separators, char quote) {
    if (text == nullptr || separators == nullptr) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    size_t len = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(len + 1));
    char** fields = static_cast<char**>(std::malloc((len / 2 + 1) * sizeof(char*)));
    UTIL_LIST* list = (copy != nullptr && fields != nullptr) ? utilCreateList(nullptr) : nullptr;
    if (list != nullptr) {
        std::memcpy(copy, text, len + 1);
        // A text of len characters holds at most len / 2 + 1 separated fields.
        int count = utilSplitFields(copy, fields, int(len / 2 + 1), separators, quote);
        for (int i = 0; i < count; ++i) {
            if (!utilAppendEntry(list, fields[i], std::strlen(fields[i]) + 1)) {
                utilDestroyList(list);
                list = nullptr;
                break;
            }
        }
    } else {
        platSetError(WSAENOBUFS);
    }
    std::free(fields);
    std::free(copy);
    return list;
}

bool utilWildcardMatch(const char* pattern, const char* text) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '*') {
        for (const char* t = text;; ++t) {
            if (utilWildcardMatch(pattern + 1, t)) return true;
            if (*t == '\0') return false;
        }
    }
    if (*text == '\0') return false;
    if (*pattern != '?' && std::toupper(static_cast<unsigned char>(*pattern)) !=
                               std::toupper(static_cast<unsigned char>(*text)))
        return false;
    return utilWildcardMatch(pattern + 1, text + 1);
}
