#include "net/fstrm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/encoding/data.h"
#include "net/net.h"
#include "net/stack_fixture.h"
#include "net/tls.h"

using ns::net::fstrm::FstrmError;
using ns::net::fstrm::FstrmSocket;
using ns::net::fstrm::FstrmSocketConfig;
using ns::net::tls::TlsSocket;
using ns::net::tls::TlsSocketConfig;
using namespace stack_fixture;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string contentType = "protobuf:dnstap.Dnstap";

void be32(Bytes& out, uint32_t v)
{
    out.push_back(static_cast<unsigned char>(v >> 24));
    out.push_back(static_cast<unsigned char>(v >> 16));
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

void text(Bytes& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }

// A control field of `type` carrying `value`.
Bytes field(uint32_t type, const std::string& value)
{
    Bytes out;
    be32(out, type);
    be32(out, static_cast<uint32_t>(value.size()));
    text(out, value);
    return out;
}

// Escape, length, control type and the given fields.
Bytes control(uint32_t type, const std::vector<Bytes>& fields = {}, bool escape = true)
{
    Bytes body;
    be32(body, type);
    for (const Bytes& f : fields)
        body.insert(body.end(), f.begin(), f.end());
    Bytes out;
    if (escape)
        be32(out, 0);
    be32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes withType(uint32_t type) { return control(type, {field(1, contentType)}); }

// Everything plain: the TLS object is disabled, so reads and writes go to the socket.
struct PlainStack {
    explicit PlainStack(FstrmSocketConfig config = FstrmSocketConfig(), uint32_t readTimeout = 2)
        : pair(makeTcpPair(readTimeout)),
          tls(5, true, TlsSocketConfig(), *pair.server),
          fstrm(5, config, *pair.server, tls)
    {
    }
    // Bytes the peer sends raw.
    void peerSends(const Bytes& bytes) { pair.client->sendblock(bytes.data(), static_cast<uint32_t>(bytes.size())); }
    // Exactly n bytes the peer receives.
    Bytes peerReads(uint32_t n)
    {
        Bytes out(n);
        uint32_t have = 0;
        while (have < n)
            have += pair.client->readsome(out.data() + have, n - have);
        return out;
    }
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

TEST(FstrmConfigTest, Defaults)
{
    FstrmSocketConfig c;
    EXPECT_TRUE(c.bidirectional);
    EXPECT_EQ(c.controlFrameMaxSize, 65536u);
    EXPECT_EQ(c.dataFrameMaxSize, 262144u);
    EXPECT_EQ(std::string(ns::net::fstrm::dnstap_content_type), contentType);
}

TEST(FstrmSendTest, ControlFrameLayouts)
{
    struct Case {
        uint32_t type;
        bool withContentType;
        Bytes expected;
    };
    const Case cases[] = {
        {1, true, withType(1)}, {2, true, withType(2)}, {3, false, control(3)},
        {4, true, withType(4)}, {5, false, control(5)}, {3, true, withType(3)},
    };
    PlainStack s;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        s.fstrm.sendcontrol(c.type, c.withContentType);
        ASSERT_EQ(c.expected.size(), c.withContentType ? 42u : 12u);
        EXPECT_EQ(s.peerReads(static_cast<uint32_t>(c.expected.size())), c.expected);
    }
    // The literal bytes of START, once, independent of the builders above.
    const unsigned char start[42] = {0, 0, 0, 0, 0, 0, 0, 34, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 22, 'p',
                                     'r', 'o', 't', 'o', 'b', 'u', 'f', ':', 'd', 'n', 's', 't', 'a', 'p', '.',
                                     'D', 'n', 's', 't', 'a', 'p'};
    s.fstrm.sendcontrol(2, true);
    EXPECT_EQ(s.peerReads(42), Bytes(start, start + 42));
    EXPECT_TRUE(s.pair.client->wait(true, 0));
}

TEST(FstrmReadTest, ControlFrames)
{
    FstrmSocketConfig config;
    config.controlFrameMaxSize = 60;
    struct Case {
        const char* name;
        Bytes bytes;
        bool readEscape;
        bool checkContentType;
        uint32_t type;      // expected type when no error
        std::string error;  // expected message, empty = success
    };
    // Type, an unknown field, then the content type: 60 and 61 bytes.
    Bytes atLimit = control(4, {field(7, std::string(60 - 4 - 8 - 30, 'x')), field(1, contentType)});
    Bytes overLong = control(4, {field(7, std::string(60 - 4 - 8 - 30 + 1, 'x')), field(1, contentType)});
    // A content-type field claiming 22 bytes where the frame has only 10 left,
    // followed in the stream by exactly the bytes that would have matched.
    Bytes runsPast;
    be32(runsPast, 0);
    be32(runsPast, 4 + 8 + 10);
    be32(runsPast, 4);
    be32(runsPast, 1);
    be32(runsPast, 22);
    text(runsPast, contentType.substr(0, 10));
    Bytes runsPastTail;
    text(runsPastTail, contentType.substr(10));
    runsPastTail.resize(runsPastTail.size() + 40);
    const Case cases[] = {
        {"READY with content type", withType(4), true, true, 4, ""},
        {"START with content type", withType(2), true, true, 2, ""},
        {"STOP type only", control(3), true, false, 3, ""},
        {"FINISH type only", control(5), true, false, 5, ""},
        {"escape already read", control(3, {}, false), false, false, 3, ""},
        {"type only, content type required", control(4), true, true, 0,
         "Expected content type of protobuf:dnstap.Dnstap but did not get it"},
        {"other content type", control(4, {field(1, "protobuf:dnstap.Other!")}), true, true, 0,
         "Expected content type of protobuf:dnstap.Dnstap but did not get it"},
        {"content type as a prefix", control(4, {field(1, contentType + "X")}), true, true, 0,
         "Expected content type of protobuf:dnstap.Dnstap but did not get it"},
        {"other content type first, then ours",
         control(4, {field(1, "application/other"), field(1, contentType)}), true, true, 4, ""},
        {"unknown field skipped", control(1, {field(9, "abc"), field(1, contentType)}), true, true, 1, ""},
        {"content type under another field type", control(4, {field(2, contentType)}), true, true, 0,
         "Expected content type of protobuf:dnstap.Dnstap but did not get it"},
        {"content type not required, frame with fields", withType(2), true, false, 2, ""},
        {"escape not zero", Bytes{0, 0, 0, 7, 0, 0, 0, 4, 0, 0, 0, 3}, true, false, 0,
         "Expected control message preamble of 0 but got 7"},
        {"length 0", Bytes{0, 0, 0, 0, 0, 0, 0, 0}, true, false, 0,
         "Expected control message length of at least 4 bytes but got 0"},
        {"length 3", Bytes{0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}, true, false, 0,
         "Expected control message length of at least 4 bytes but got 3"},
        {"length at limit", atLimit, true, true, 4, ""},
        {"length over limit", overLong, true, true, 0,
         "Control frame length 61 is larger than the configured limit 60"},
        {"huge length", Bytes{0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}, true, false, 0,
         "Control frame length 4294967295 is larger than the configured limit 60"},
        {"truncated field header (length 5)", Bytes{0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 4, 0}, true, true, 0,
         "Read uint32_t failed: Offset 4 + 4 is out of bounds for data of 5 bytes"},
        {"truncated field header (length 11)", Bytes{0, 0, 0, 0, 0, 0, 0, 11, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0},
         true, true, 0, "Read uint32_t failed: Offset 8 + 4 is out of bounds for data of 11 bytes"},
        {"field runs past the frame", runsPast, true, true, 0,
         "Expected content type of protobuf:dnstap.Dnstap but did not get it"},
        {"field length near 2^32", control(4, {Bytes{0, 0, 0, 1, 0xff, 0xff, 0xff, 0xfc}}), true, true, 0,
         "Expected content type of protobuf:dnstap.Dnstap but did not get it"},
    };
    ASSERT_EQ(atLimit.size(), 8u + 60u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlainStack s(config);
        s.peerSends(c.bytes);
        if (c.name == std::string("field runs past the frame"))
            s.peerSends(runsPastTail);
        uint32_t type = 0;
        std::string error = errorOf([&] { type = s.fstrm.readcontrol(c.readEscape, c.checkContentType); });
        EXPECT_EQ(error, c.error);
        if (c.error.empty()) {
            EXPECT_EQ(type, c.type);
        }
    }
}

TEST(FstrmReadTest, TruncatedFieldHeaderIsTheByteReadersError)
{
    PlainStack s;
    s.peerSends(Bytes{0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 4, 0, 0, 0});
    EXPECT_THROW(s.fstrm.readcontrol(true, true), ns::encoding::data::DataError);
}

TEST(FstrmReadTest, DataFrameLengthLimit)
{
    FstrmSocketConfig config;
    config.dataFrameMaxSize = 1000;
    PlainStack s(config);
    Bytes b;
    be32(b, 1000);
    be32(b, 1001);
    be32(b, 0);
    be32(b, 0xffffffffu);
    be32(b, 0xffffffffu);
    s.peerSends(b);
    EXPECT_EQ(s.fstrm.readlength(true), 1000u);
    EXPECT_EQ(errorOf([&] { s.fstrm.readlength(true); }),
              "Data frame length 1001 is larger than the configured limit 1000");
    EXPECT_EQ(s.fstrm.readlength(true), 0u);
    EXPECT_EQ(errorOf([&] { s.fstrm.readlength(true); }),
              "Data frame length 4294967295 is larger than the configured limit 1000");
    EXPECT_EQ(s.fstrm.readlength(false), 0xffffffffu);
}

TEST(FstrmReadTest, LengthWordArrivingByteByByte)
{
    PlainStack s;
    Side peer([&] {
        const unsigned char bytes[4] = {0x00, 0x01, 0x02, 0x03};
        for (unsigned char b : bytes) {
            s.pair.client->sendblock(&b, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_EQ(s.fstrm.readlength(false), 0x010203u);
    EXPECT_EQ(peer.join(), "");
}

TEST(FstrmReadTest, BlocksAndAnnouncedLengthsGrowWithTheBytes)
{
    PlainStack s;
    Bytes payload(10000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i * 13);
    s.peerSends(payload);
    Bytes out;
    s.fstrm.readblock(out, 10000);
    EXPECT_EQ(out, payload);
    s.fstrm.readblock(out, 0);
    EXPECT_TRUE(out.empty());
    Bytes raw(3);
    s.fstrm.readblock(raw.data(), 0);

    // A peer announcing a huge frame and sending little makes us hold little.
    Bytes small(100, 0xab);
    s.peerSends(small);
    s.pair.client->close();
    Bytes held;
    EXPECT_EQ(errorOf([&] { s.fstrm.readblock(held, 0xfffffff0u); }), "recv() failed: socket closed");
    EXPECT_LE(held.capacity(), 65536u);
}

TEST(FstrmReadTest, HugeControlLimitDoesNotAllocateTheAnnouncedLength)
{
    FstrmSocketConfig config;
    config.controlFrameMaxSize = 0xffffffffu;
    PlainStack s(config, 1);
    s.peerSends(Bytes{0, 0, 0, 0, 0xff, 0xff, 0xff, 0xf0, 0, 0, 0, 4});
    // Without growing as bytes arrive this would try to take 4 GiB at once.
    EXPECT_EQ(errorOf([&] { s.fstrm.readcontrol(true, true); }), "recv() failed: wait() timed out");
}

TEST(FstrmHandshakeTest, SenderSequences)
{
    struct Case {
        const char* name;
        bool bidirectional;
        Bytes acceptReply;  // sent by the peer after READY
        Bytes finishReply;  // sent by the peer after STOP
        std::string startError;
        std::string stopError;
    };
    const Case cases[] = {
        {"unidirectional", false, {}, {}, "", ""},
        {"bidirectional", true, withType(1), control(5), "", ""},
        {"FINISH with content type", true, withType(1), withType(5), "", ""},
        {"START in place of ACCEPT", true, withType(2), {}, "Expected ACCEPT(1) control message but got 2", ""},
        {"ACCEPT without content type", true, control(1), {},
         "Expected content type of protobuf:dnstap.Dnstap but did not get it", ""},
        {"ACCEPT with another content type", true, control(1, {field(1, "text/plain")}), {},
         "Expected content type of protobuf:dnstap.Dnstap but did not get it", ""},
        {"ACCEPT in place of FINISH", true, withType(1), withType(1), "",
         "Expected FINISH(5) control message but got 1"},
        {"data frame in place of ACCEPT", true, Bytes{0, 0, 0, 5, 1, 2, 3, 4, 5}, {},
         "Expected control message preamble of 0 but got 5", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FstrmSocketConfig config;
        config.bidirectional = c.bidirectional;
        PlainStack s(config, 1);
        if (c.bidirectional)
            s.peerSends(c.acceptReply);
        std::string startError = errorOf([&] { s.fstrm.sendstart(); });
        EXPECT_EQ(startError, c.startError);
        if (c.bidirectional) {
            EXPECT_EQ(s.peerReads(42), withType(4));
        }
        if (!startError.empty())
            continue;
        EXPECT_EQ(s.peerReads(42), withType(2));
        EXPECT_TRUE(s.pair.client->wait(true, 0));

        const unsigned char data[] = {0, 0, 0, 3, 'a', 'b', 'c'};
        s.fstrm.sendblock(data, sizeof(data));
        EXPECT_EQ(s.peerReads(7), Bytes(data, data + 7));

        if (c.bidirectional)
            s.peerSends(c.finishReply);
        EXPECT_EQ(errorOf([&] { s.fstrm.sendstop(); }), c.stopError);
        EXPECT_EQ(s.peerReads(12), control(3));
        // Nothing else was written.
        EXPECT_EQ(s.pair.client->readsize(), 0u);
    }
}

TEST(FstrmHandshakeTest, UnidirectionalSenderReadsNothing)
{
    FstrmSocketConfig config;
    config.bidirectional = false;
    PlainStack s(config, 1);
    // The peer says something the sender must not read.
    s.peerSends(withType(1));
    s.fstrm.sendstart();
    s.fstrm.sendstop();
    EXPECT_EQ(s.peerReads(54), [] {
        Bytes b = withType(2);
        Bytes stop = control(3);
        b.insert(b.end(), stop.begin(), stop.end());
        return b;
    }());
    EXPECT_EQ(s.pair.server->readsize(), 42u);
}

TEST(FstrmHandshakeTest, BothSidesOverTls)
{
    TempDir dir;
    Certificates certs = makeCertificates(dir.path());
    TcpPair pair = makeTcpPair(3);
    TlsSocketConfig sc;
    sc.enabled = true;
    sc.validate = false;
    sc.certFile = certs.server.cert;
    sc.keyFile = certs.server.key;
    TlsSocketConfig cc;
    cc.enabled = true;
    cc.caFile = certs.ca.cert;
    TlsSocket serverTls(1, true, sc, *pair.server);
    TlsSocket clientTls(2, false, cc, *pair.client);
    FstrmSocket receiver(1, FstrmSocketConfig(), *pair.server, serverTls);
    FstrmSocket sender(2, FstrmSocketConfig(), *pair.client, clientTls);

    // Before a handshake a TLS stack reads and writes nothing.
    EXPECT_EQ(errorOf([&] { sender.sendcontrol(4, true); }), "TLS handshake not complete");

    std::vector<Bytes> received;
    Side side([&] {
        serverTls.connect();
        if (receiver.readcontrol(true, true) != 4)
            throw std::runtime_error("no READY");
        receiver.sendcontrol(1, true);
        if (receiver.readcontrol(true, true) != 2)
            throw std::runtime_error("no START");
        for (;;) {
            uint32_t length = receiver.readlength(true);
            if (length == 0)
                break;
            Bytes payload;
            receiver.readblock(payload, length);
            received.push_back(payload);
        }
        if (receiver.readcontrol(false, false) != 3)
            throw std::runtime_error("no STOP");
        receiver.sendcontrol(5, false);
    });
    clientTls.connect();
    sender.sendstart();
    Bytes batch;
    for (uint32_t n : {1u, 100u, 20000u}) {
        be32(batch, n);
        batch.insert(batch.end(), n, static_cast<unsigned char>(n));
    }
    sender.sendblock(batch.data(), static_cast<uint32_t>(batch.size()));
    sender.sendstop();
    ASSERT_EQ(side.join(), "");
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], Bytes(1, 1));
    EXPECT_EQ(received[1], Bytes(100, 100));
    EXPECT_EQ(received[2], Bytes(20000, static_cast<unsigned char>(20000)));
}
