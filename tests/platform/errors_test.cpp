// The thread's error variable, the host errno mapping and the error texts.
#include "platform/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <thread>

namespace {

TEST(PlatformErrors, HostSocketErrorsMapOntoWindowsSocketsNumbers) {
    struct Case {
        int host;
        int code;
    } cases[] = {
        {EINTR, WSAEINTR},
        {EINVAL, WSAEINVAL},
        {EWOULDBLOCK, WSAEWOULDBLOCK},
        {EAGAIN, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEINPROGRESS},
        {ENOTSOCK, WSAENOTSOCK},
        {EPROTOTYPE, WSAEPROTOTYPE},
        {EOPNOTSUPP, WSAEOPNOTSUPP},
        {EADDRINUSE, WSAEADDRINUSE},
        {ENETDOWN, WSAENETDOWN},
        {ENETUNREACH, WSAENETUNREACH},
        {ECONNABORTED, WSAECONNABORTED},
        {ECONNRESET, WSAECONNRESET},
        {EPIPE, WSAECONNRESET},
        {ETIMEDOUT, WSAETIMEDOUT},
        {ECONNREFUSED, WSAECONNREFUSED},
#ifdef EHOSTDOWN
        {EHOSTDOWN, WSAEHOSTDOWN},
#endif
        {EHOSTUNREACH, WSAEHOSTUNREACH},
        {ENOENT, ENOENT_CODE},  // plain numbers stay as they are
    };
    for (const auto& c : cases) EXPECT_EQ(platErrorFromErrno(c.host), c.code) << c.host;
    errno = ECONNREFUSED;
    EXPECT_EQ(platSetErrorFromErrno(), WSAECONNREFUSED);
    EXPECT_EQ(platGetError(), WSAECONNREFUSED);
}

TEST(PlatformErrors, EveryCodeHasAReadableText) {
    std::set<std::string> seen;
    for (int code = WSABASEERR; code <= 11004; ++code) {
        std::string text = platErrorText(code);
        ASSERT_FALSE(text.empty());
        if (text.rfind("error ", 0) != 0) {
            EXPECT_TRUE(seen.insert(text).second || code == WSAEWOULDBLOCK) << code << " " << text;
        }
    }
    EXPECT_STREQ(platErrorText(WSAECONNRESET), "connection reset by peer");
    EXPECT_STREQ(platErrorText(WSAETIMEDOUT), "connection timed out");
    EXPECT_STREQ(platErrorText(0), "no error");
    EXPECT_STREQ(platErrorText(ENOENT_CODE), "no such host or file");
    EXPECT_STREQ(platErrorText(EAGAIN_CODE), "resource temporarily unavailable");
    EXPECT_STREQ(platErrorText(99999), "error 99999");
    // A made text is kept: the pointer handed out stays valid and is the same next time.
    EXPECT_EQ(platErrorText(99999), platErrorText(99999));
    EXPECT_STRNE(platErrorText(EACCES), "");
}

TEST(PlatformErrors, EachThreadHasItsOwnErrorVariable) {
    platSetError(WSAEINVAL);
    int other = -1;
    std::thread([&] {
        other = platGetError();
        platSetError(WSAETIMEDOUT);
    }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(platGetError(), WSAEINVAL);
}

}  // namespace
