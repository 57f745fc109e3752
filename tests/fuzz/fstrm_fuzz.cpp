// libFuzzer target: the Frame Streams reader fed through a socket pair.
// The first byte picks the role and the frame limits; the rest is what the
// peer sends before it closes its side. Every input must end in one of the
// transport's own errors or a clean end, never read past a limit it was
// given, and never allocate what a hostile length field announces.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "foundation/encoding/data.h"
#include "net/fstrm.h"
#include "net/net.h"
#include "net/tls.h"

using namespace ns::net;
using namespace ns::net::fstrm;

namespace {

constexpr uint32_t controlLimits[] = {65536, 4, 12, 42};
constexpr uint32_t dataLimits[] = {262144, 1, 16, 4096};

// A socket pair's buffer holds the whole input, so the peer can write it
// all before the reader starts and no second thread is needed.
constexpr size_t maxInput = 64 * 1024;

// The receiving side as a receiver drives it: handshake, then frames until
// STOP.
void receive(FstrmSocket& fstrm, uint32_t dataLimit)
{
    static std::vector<unsigned char> payload;
    uint32_t type = fstrm.readcontrol(true, true);
    bool bidirectional = false;
    if (type == FSTRM_CONTROL_READY) {
        fstrm.sendcontrol(FSTRM_CONTROL_ACCEPT, true);
        type = fstrm.readcontrol(true, true);
        bidirectional = true;
    }
    if (type != FSTRM_CONTROL_START)
        return;
    for (;;) {
        const uint32_t length = fstrm.readlength(true);
        if (length > dataLimit)
            std::abort();
        if (length == 0) {
            if (fstrm.readcontrol(false, false) == FSTRM_CONTROL_STOP && bidirectional)
                fstrm.sendcontrol(FSTRM_CONTROL_FINISH, false);
            return;
        }
        fstrm.readblock(payload, length);
        if (payload.size() != length)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > maxInput)
        return 0;
    const uint8_t mode = data[0];
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        std::abort();
    int sndbuf = static_cast<int>(maxInput * 2);
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &sndbuf, sizeof sndbuf);
    size_t sent = 1;
    while (sent < size) {
        const ssize_t n = send(fds[1], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;  // what did not fit is simply not sent
        sent += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);

    SocketConfig socketConfig;
    socketConfig.isUnix = true;
    socketConfig.readTimeout = 1;
    socketConfig.writeTimeout = 1;
    FstrmSocketConfig config;
    config.bidirectional = (mode & 0x40) != 0;
    config.controlFrameMaxSize = controlLimits[(mode >> 2) & 3];
    config.dataFrameMaxSize = dataLimits[(mode >> 4) & 3];
    {
        Socket socket(1, socketConfig, fds[0]);
        tls::TlsSocket tlsSocket(1, (mode & 3) != 2, tls::TlsSocketConfig(), socket);
        FstrmSocket fstrm(1, config, socket, tlsSocket);
        try {
            switch (mode & 3) {
            case 0:
            case 1:
                receive(fstrm, config.dataFrameMaxSize);
                break;
            case 2:
                fstrm.sendstart();
                fstrm.sendstop();
                break;
            case 3:
                fstrm.readcontrol((mode & 0x80) != 0, (mode & 0x40) != 0);
                break;
            }
        } catch (const FstrmError&) {
        } catch (const SocketError&) {
        } catch (const ns::encoding::data::DataError&) {
        }
    }
    close(fds[1]);
    return 0;
}
