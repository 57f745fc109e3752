// The Frame Streams read buffer: frames split anywhere by the network, length
// checks on buffered words, reads bigger than the buffer, and no bytes of an
// old stream leaking into a new one.
#include "net/fstrm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net.h"
#include "net/stack_fixture.h"
#include "net/tls.h"

using ns::net::fstrm::FstrmSocket;
using ns::net::fstrm::FstrmSocketConfig;
using ns::net::tls::TlsSocket;
using ns::net::tls::TlsSocketConfig;
using namespace stack_fixture;

namespace {

using Bytes = std::vector<unsigned char>;

void be32(Bytes& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(v >> shift));
}

Bytes acceptFrame()
{
    const std::string type = "protobuf:dnstap.Dnstap";
    Bytes out;
    be32(out, 0);
    be32(out, static_cast<uint32_t>(12 + type.size()));
    be32(out, 1);
    be32(out, 1);
    be32(out, static_cast<uint32_t>(type.size()));
    out.insert(out.end(), type.begin(), type.end());
    return out;
}

struct Stack {
    explicit Stack(FstrmSocketConfig config = FstrmSocketConfig(), uint32_t readTimeout = 2)
        : pair(makeTcpPair(readTimeout)), tls(7, true, TlsSocketConfig(), *pair.server), fstrm(7, config, *pair.server, tls)
    {
    }
    void peerSends(const Bytes& b) { pair.client->sendblock(b.data(), static_cast<uint32_t>(b.size())); }
    TcpPair pair;
    TlsSocket tls;
    FstrmSocket fstrm;
};

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return std::string();
}

} // namespace

TEST(FstrmBufferTest, FramesSplitAnywhereArriveWhole)
{
    // Sizes around the buffer's room put length words and payloads across
    // every kind of boundary; the sender writes in odd-sized pieces.
    const uint32_t sizes[] = {1, 2, 3, 111, 65531, 65532, 65535, 65536, 65537, 4, 131072, 7, 200000, 1, 9};
    Bytes stream;
    std::vector<Bytes> payloads;
    for (int round = 0; round < 3; ++round) {
        for (uint32_t n : sizes) {
            Bytes p(n);
            for (uint32_t i = 0; i < n; ++i)
                p[i] = static_cast<unsigned char>(i * 7 + n + round);
            be32(stream, n);
            stream.insert(stream.end(), p.begin(), p.end());
            payloads.push_back(std::move(p));
        }
    }
    be32(stream, 0);
    Stack s;
    Side peer([&] {
        size_t pos = 0;
        size_t piece = 1;
        while (pos < stream.size()) {
            size_t n = std::min(piece, stream.size() - pos);
            s.pair.client->sendblock(stream.data() + pos, static_cast<uint32_t>(n));
            pos += n;
            piece = piece * 3 + 1;
            if (piece > 100000)
                piece = 5;
        }
    });
    Bytes out;
    for (size_t i = 0; i < payloads.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(s.fstrm.readlength(true), payloads[i].size());
        s.fstrm.readblock(out, static_cast<uint32_t>(payloads[i].size()));
        ASSERT_EQ(out, payloads[i]);
    }
    EXPECT_EQ(s.fstrm.readlength(true), 0u);
    EXPECT_EQ(peer.join(), "");
    EXPECT_FALSE(s.fstrm.hasBufferedInput());
}

TEST(FstrmBufferTest, BufferedInputIsReportedUntilDrained)
{
    Stack s;
    Bytes b;
    for (unsigned char v : {1, 2, 3}) {
        be32(b, 2);
        b.push_back(v);
        b.push_back(v);
    }
    s.peerSends(b);
    ASSERT_TRUE(waitFor([&] { return s.pair.server->readsize() == b.size(); }));
    EXPECT_FALSE(s.fstrm.hasBufferedInput());
    Bytes out;
    for (unsigned char v : {1, 2, 3}) {
        ASSERT_EQ(s.fstrm.readlength(true), 2u);
        // The rest came in with the first receive: the descriptor has nothing.
        EXPECT_TRUE(s.fstrm.hasBufferedInput());
        EXPECT_EQ(s.pair.server->readsize(), 0u);
        s.fstrm.readblock(out, 2);
        EXPECT_EQ(out, Bytes(2, v));
    }
    EXPECT_FALSE(s.fstrm.hasBufferedInput());
    unsigned char none = 0;
    EXPECT_EQ(s.fstrm.readsome(&none, 0), 0u);
}

TEST(FstrmBufferTest, LimitIsCheckedOnABufferedLengthBeforeAnyRoomIsTaken)
{
    FstrmSocketConfig config;
    config.dataFrameMaxSize = 100;
    Stack s(config);
    Bytes b;
    be32(b, 3);
    b.insert(b.end(), {9, 9, 9});
    be32(b, 0xfffffff0u);
    b.insert(b.end(), 50, 0xee);
    s.peerSends(b);
    Bytes out;
    ASSERT_EQ(s.fstrm.readlength(true), 3u);
    s.fstrm.readblock(out, 3);
    EXPECT_EQ(out, Bytes(3, 9));
    EXPECT_EQ(errorOf([&] { s.fstrm.readlength(true); }),
              "Data frame length 4294967280 is larger than the configured limit 100");
    EXPECT_LE(out.capacity(), 4096u);
}

TEST(FstrmBufferTest, ANewStreamIgnoresBytesLeftFromTheOldOne)
{
    Stack s(FstrmSocketConfig(), 1);
    // ACCEPT followed by junk in the same segment: the junk lands in the buffer.
    Bytes first = acceptFrame();
    first.insert(first.end(), {0, 0, 0, 9, 1, 2});
    s.peerSends(first);
    ASSERT_TRUE(waitFor([&] { return s.pair.server->readsize() == first.size(); }));
    s.fstrm.sendstart();
    EXPECT_TRUE(s.fstrm.hasBufferedInput());

    // Drain what the sender wrote, then start again as after a reconnect.
    Bytes sink(100);
    ASSERT_TRUE(waitFor([&] { return s.pair.client->readsize() == 84u; }));
    uint32_t have = 0;
    while (have < 84)
        have += s.pair.client->readsome(sink.data(), 84 - have);
    s.peerSends(acceptFrame());
    EXPECT_EQ(errorOf([&] { s.fstrm.sendstart(); }), "");
    EXPECT_FALSE(s.fstrm.hasBufferedInput());
}
