// Gathered writes that the socket takes only in part, and what is left of them; the failures of a
// connection reported with the same codes and texts on every host.
#include "platform/net.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"

namespace {

std::string textOf(const PLAT_IOVEC* pieces, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text.append(static_cast<const char*>(pieces[i].base), pieces[i].len);
    return text;
}

TEST(PlatformIovec, WhatIsLeftAfterAnyNumberOfBytesIsTheRestInOrder) {
    char a[] = "abc", c[] = "defgh";
    // An empty piece in the middle, as a frame without payload has.
    const PLAT_IOVEC pieces[3] = {{a, 3}, {nullptr, 0}, {c, 5}};
    const std::string whole = "abcdefgh";
    for (uint64_t done = 0; done <= whole.size() + 2; ++done) {
        PLAT_IOVEC left[3];
        int n = platIovecRemainder(pieces, 3, done, left);
        EXPECT_EQ(textOf(left, n), done < whole.size() ? whole.substr(done) : "") << done;
        for (int i = 0; i < n; ++i) EXPECT_GT(left[i].len, 0u) << done;
    }
}

TEST(PlatformIovec, AGatheredWriteLargerThanTheSocketTakesArrivesWholeAndInOrder) {
    PLAT_SOCKET listener = platListenTcp("127.0.0.1", 0, 1);
    ASSERT_NE(listener, PLAT_INVALID_SOCKET);
    PLAT_INADDR address;
    ASSERT_TRUE(platParseDotted("127.0.0.1", &address.addr));
    const uint16_t port = platLocalPort(listener);
    const uint8_t portBytes[2] = {uint8_t(port >> 8), uint8_t(port)};
    std::memcpy(&address.port, portBytes, 2);
    PLAT_SOCKET writer = platTcpSocket();
    ASSERT_TRUE(platConnect(writer, address));
    PLAT_SOCKET reader = platAccept(listener);
    ASSERT_NE(reader, PLAT_INVALID_SOCKET);
    platSetSendBufferSize(writer, 4096);

    // Three pieces of 1 MB in all: far more than one call moves.
    std::vector<uint8_t> head(16), body(1 << 20), tail(8);
    std::iota(head.begin(), head.end(), uint8_t(1));
    for (size_t i = 0; i < body.size(); ++i) body[i] = uint8_t(i * 131 + i / 256);
    std::iota(tail.begin(), tail.end(), uint8_t(200));
    const PLAT_IOVEC pieces[3] = {
        {head.data(), head.size()}, {body.data(), body.size()}, {tail.data(), tail.size()}};
    const uint64_t total = head.size() + body.size() + tail.size();

    std::vector<uint8_t> got;
    std::thread drain([&] {
        std::vector<uint8_t> buf(3000);  // small reads keep the writer waiting now and then
        while (got.size() < total) {
            long n = platRecv(reader, buf.data(), buf.size());
            if (n <= 0) break;
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
    });
    uint64_t sent = 0;
    int partial = 0;
    while (sent < total) {
        PLAT_IOVEC left[3];
        int n = platIovecRemainder(pieces, 3, sent, left);
        long rc = platSendNow(writer, left, n);
        if (rc < 0) {
            ASSERT_EQ(platGetError(), WSAEWOULDBLOCK);
            ASSERT_EQ(platWaitWritable(writer, 10000), 1);
            continue;
        }
        if (uint64_t(rc) < total - sent) ++partial;
        sent += uint64_t(rc);
    }
    drain.join();
    EXPECT_GT(partial, 0);
    std::vector<uint8_t> expected(head);
    expected.insert(expected.end(), body.begin(), body.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_TRUE(got == expected);
    platCloseSocket(writer);
    platCloseSocket(reader);
    platCloseSocket(listener);
}

// The loopback address of port (host order) as the connect call takes it.
PLAT_INADDR loopback(uint16_t port) {
    PLAT_INADDR address;
    EXPECT_TRUE(platParseDotted("127.0.0.1", &address.addr));
    const uint8_t portBytes[2] = {uint8_t(port >> 8), uint8_t(port)};
    std::memcpy(&address.port, portBytes, 2);
    return address;
}

// A refused connect, a connection reset by its peer and a wait that times out: what the library
// logs and decides on (a retry, a reconnect) must not depend on the host's socket interface.
// (An unknown host: UtilSetHostAddr in the util tests.)
TEST(PlatformNetErrors, RefusedResetAndTimedOutAreTheSameOnEveryHost) {
    // Refused: a port that was just listened on and is closed now.
    PLAT_SOCKET listener = platListenTcp("127.0.0.1", 0, 1);
    ASSERT_NE(listener, PLAT_INVALID_SOCKET);
    const uint16_t closedPort = platLocalPort(listener);
    platCloseSocket(listener);
    PLAT_SOCKET sock = platTcpSocket();
    platSetError(0);
    EXPECT_FALSE(platConnect(sock, loopback(closedPort)));
    EXPECT_EQ(platGetError(), WSAECONNREFUSED);
    EXPECT_STREQ(platErrorText(platGetError()), "connection refused");
    platCloseSocket(sock);

    // Timed out: nothing arrives within the wait, which leaves the error variable alone.
    listener = platListenTcp("127.0.0.1", 0, 1);
    ASSERT_NE(listener, PLAT_INVALID_SOCKET);
    sock = platTcpSocket();
    ASSERT_TRUE(platConnect(sock, loopback(platLocalPort(listener))));
    PLAT_SOCKET peer = platAccept(listener);
    ASSERT_NE(peer, PLAT_INVALID_SOCKET);
    platSetError(0);
    EXPECT_EQ(platWaitReadable(sock, 100), 0);
    EXPECT_EQ(platGetError(), 0);
    EXPECT_STREQ(platErrorText(WSAETIMEDOUT), "connection timed out");

    // Reset: the peer has gone; the first write draws its reset, a later one reports it.
    platCloseSocket(peer);
    ASSERT_EQ(platWaitReadable(sock, 5000), 1);
    const char bytes[] = "to a closed peer";
    platSetError(0);
    for (int attempt = 0; attempt < 100 && platSend(sock, bytes, sizeof bytes) > 0; ++attempt)
        platSleepMs(20);
    EXPECT_EQ(platGetError(), WSAECONNRESET);
    EXPECT_STREQ(platErrorText(platGetError()), "connection reset by peer");
    platCloseSocket(sock);
    platCloseSocket(listener);
}

}  // namespace
