// Typed stream names: the one reading of "STA.CHN[.LOC]" that every program uses for what an
// operator typed or a settings file holds, matching names against patterns, and the request
// made from parsed names (no text on the way).
#include <cstdlib>
#include <cstring>

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

constexpr char kPartSeparator = '.';
constexpr char kNameSeparator = '+';
// A location written this way, or left out, means "none" (the wire's two blanks).
constexpr std::string_view kNoLocationText = "--";
constexpr std::string_view kWireNoLocation = "  ";

struct PartRule {
    const char* what;
    int width;
};
constexpr PartRule kStation = {"station", ISI_STALEN};
constexpr PartRule kChannel = {"channel", ISI_CHNLEN};
constexpr PartRule kLocation = {"location", ISI_LOCLEN};

bool isCodeCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '-' ||
           c == '_' || c == '*' || c == '?';
}

// Quoted for a message, escaped: the text may hold anything.
std::string quoted(std::string_view text) {
    return "\"" + utilPrintableString(text) + "\"";
}

bool checkPart(std::string_view part, const PartRule& rule, std::string_view whole,
               std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = "stream " + quoted(whole) + ": " + why;
        platSetError(WSAEINVAL);
        return false;
    };
    if (part.empty()) return fail(std::string("no ") + rule.what + " code");
    if (part.size() > size_t(rule.width))
        return fail(std::string(rule.what) + " code " + quoted(part) + " is longer than " +
                    std::to_string(rule.width) + " characters");
    for (char c : part)
        if (!isCodeCharacter(c))
            return fail(std::string(rule.what) + " code " + quoted(part) +
                        " holds a character other than a letter, a digit, -, _, * or ?");
    return true;
}

bool isNoLocation(std::string_view loc) {
    return loc.empty() || loc == kNoLocationText || loc == kWireNoLocation;
}

std::string_view trimmedPart(const char* part, size_t width) {
    std::string_view text(part, strnlen(part, width));
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

/* isiStreamIdFromParts: true with name set from three codes; false (WSAEINVAL) with the fault in
 * error, name untouched. */
bool isiStreamIdFromParts(std::string_view sta, std::string_view chn, std::string_view loc,
                          ISI_STREAM_ID* name, std::string* error) {
    if (name == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    std::string whole = std::string(sta) + "." + std::string(chn);
    if (!isNoLocation(loc)) whole += "." + std::string(loc);
    if (!checkPart(sta, kStation, whole, error) || !checkPart(chn, kChannel, whole, error))
        return false;
    if (!isNoLocation(loc) && !checkPart(loc, kLocation, whole, error)) return false;
    const std::string s(sta), c(chn), l(isNoLocation(loc) ? std::string() : std::string(loc));
    isiSetStreamId(name, s.c_str(), c.c_str(), l.c_str());
    return true;
}

/* isiParseStreamName: true with name set from "STA.CHN" or "STA.CHN.LOC"; false (WSAEINVAL) with
 * the fault in error. */
bool isiParseStreamName(std::string_view text, ISI_STREAM_ID* name, std::string* error) {
    std::string_view parts[3];
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find(kPartSeparator, start);
        const std::string_view part = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (count == 3) {
            if (error != nullptr)
                *error = "stream " + quoted(text) + ": a fourth part " +
                         quoted(text.substr(start)) + " (STA.CHN[.LOC] expected)";
            platSetError(WSAEINVAL);
            return false;
        }
        parts[count++] = part;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (count < 2) {
        if (error != nullptr) *error = "stream " + quoted(text) + ": STA.CHN[.LOC] expected";
        platSetError(WSAEINVAL);
        return false;
    }
    // "STA.CHN." names a stream without location, as "STA.CHN" does.
    return isiStreamIdFromParts(parts[0], parts[1], parts[2], name, error);
}

/* isiParseStreamNames: true with every name of text in order; false (WSAEINVAL) with the first
 * fault in error and names emptied. */
bool isiParseStreamNames(std::string_view text, std::vector<ISI_STREAM_ID>* names,
                         std::string* error) {
    if (names == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    names->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t plus = text.find(kNameSeparator, start);
        if (plus == std::string_view::npos) plus = text.size();
        const std::string_view piece = text.substr(start, plus - start);
        if (!piece.empty()) {
            ISI_STREAM_ID name;
            if (!isiParseStreamName(piece, &name, error)) {
                names->clear();
                return false;
            }
            names->push_back(name);
        }
        start = plus + 1;
    }
    if (names->empty()) {
        if (error != nullptr) *error = "no stream name in " + quoted(text);
        platSetError(WSAEINVAL);
        return false;
    }
    return true;
}

bool isiStreamIdHasWildcard(const ISI_STREAM_ID* name) {
    for (const char* part : {name->sta, name->chn, name->loc})
        if (std::strpbrk(part, "*?") != nullptr) return true;
    return false;
}

/* isiStreamIdMatches: station and channel by wildcard without regard to case; the location too,
 * where a pattern without location matches only a stream without one. */
bool isiStreamIdMatches(const ISI_STREAM_ID* pattern, const ISI_STREAM_ID* name) {
    if (pattern == nullptr || name == nullptr) return false;
    auto matches = [](std::string_view p, std::string_view n) {
        const std::string pat(p), text(n);
        return utilWildcardMatch(pat.c_str(), text.c_str());
    };
    // A pattern's location "--" (as some clients send "none") matches a stream without one.
    std::string_view loc = trimmedPart(pattern->loc, ISI_LOCLEN);
    if (loc == kNoLocationText) loc = {};
    return matches(trimmedPart(pattern->sta, ISI_STALEN), trimmedPart(name->sta, ISI_STALEN)) &&
           matches(trimmedPart(pattern->chn, ISI_CHNLEN), trimmedPart(name->chn, ISI_CHNLEN)) &&
           matches(loc, trimmedPart(name->loc, ISI_LOCLEN));
}

void isiExpandStreamPatterns(const std::vector<ISI_STREAM_ID>& patterns, const ISI_CNF_LIST& list,
                             std::vector<ISI_STREAM_ID>* names,
                             std::vector<ISI_STREAM_ID>* unmatched) {
    if (names != nullptr) names->clear();
    if (unmatched != nullptr) unmatched->clear();
    for (const ISI_STREAM_ID& pattern : patterns) {
        bool found = false;
        for (uint32_t i = 0; i < list.nentry; ++i) {
            const ISI_STREAM_ID& have = list.entry[i].name;
            if (!isiStreamIdMatches(&pattern, &have)) continue;
            found = true;
            if (names == nullptr) break;
            bool seen = false;
            for (const ISI_STREAM_ID& n : *names) seen = seen || isiStreamIdEqual(&n, &have);
            if (!seen) names->push_back(have);
        }
        if (!found && unmatched != nullptr) unmatched->push_back(pattern);
    }
}

/* isiAllocTwindRequest: a time-window request of one item per name, every item from beg to end,
 * with the isiInitDataRequest defaults; none (WSAENOBUFS) when memory runs out, or (WSAEINVAL)
 * for no names. */
ISI_DATA_REQUEST* isiAllocTwindRequest(REAL64 beg, REAL64 end, const ISI_STREAM_ID* names,
                                       uint32_t count) {
    if (names == nullptr || count == 0) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    auto* request = static_cast<ISI_DATA_REQUEST*>(std::malloc(sizeof(ISI_DATA_REQUEST)));
    if (request == nullptr) {
        platSetError(WSAENOBUFS);
        return nullptr;
    }
    isiInitDataRequest(request);
    request->twind = static_cast<ISI_TWIND_ITEM*>(std::calloc(count, sizeof(ISI_TWIND_ITEM)));
    if (request->twind == nullptr) {
        std::free(request);
        platSetError(WSAENOBUFS);
        return nullptr;
    }
    request->type = ISI_REQUEST_TYPE_TWIND;
    request->nreq = count;
    for (uint32_t i = 0; i < count; ++i) {
        request->twind[i].name = names[i];
        request->twind[i].beg = beg;
        request->twind[i].end = end;
    }
    return request;
}
