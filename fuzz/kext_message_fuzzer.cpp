// Fuzz target for the simulated kernel driver's message handling. The input is a sequence of
// records, each one message delivered to one of four client sessions of a fresh daemon as if
// it had come from that session's socket:
//   [session index, 1 byte] [length, 2 bytes little-endian] [the message's bytes]
// A session closed by a malformed message is replaced by a new one at its next record. The
// daemon's answers are read and dropped. Tokens are deterministic, so a port's token is 1
// when it is the first thing handed out.
#include <fcntl.h>
#include <glib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"
#include "kext/Daemon.h"
#include "kext/InterfaceBehaviour.h"

namespace {

struct Client {
    uint64_t session = 0;
    int peer = -1;
};

void drain(int fd)
{
    static std::vector<uint8_t> buffer(kextwire::kMaxMessageSize + 1);
    for (;;) {
        int fds[kextwire::kMaxFds];
        size_t count = 0;
        ssize_t n = kextwire::receiveDatagram(fd, buffer.data(), buffer.size(), fds, count, false);
        kextwire::closeAll(fds, count);
        if (n <= 0 && n != -2)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    GMainContext* context = g_main_context_new();
    {
        kext::Daemon::Options options;
        options.deterministic = true;
        kext::Daemon daemon(kext::makeBehaviourFactory(), context, options);
        daemon.plug("default", 0);
        daemon.plug("default", kextwire::kPlugDarwin8);
        Client clients[4];
        size_t pos = 0;
        while (pos + 3 <= size) {
            Client& c = clients[data[pos] % 4];
            size_t length = std::min<size_t>(size_t(data[pos + 1]) | size_t(data[pos + 2]) << 8, size - pos - 3);
            pos += 3;
            if (!daemon.hasSession(c.session)) {
                if (c.peer >= 0)
                    close(c.peer);
                int pair[2];
                if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
                    break;
                fcntl(pair[1], F_SETFL, O_NONBLOCK);
                c.session = daemon.adoptClient(pair[0], getpid(), getuid());
                c.peer = pair[1];
            }
            daemon.deliver(c.session, data + pos, length, nullptr, 0);
            pos += length;
            for (Client& each : clients)
                if (each.peer >= 0)
                    drain(each.peer);
        }
        for (Client& c : clients)
            if (c.peer >= 0)
                close(c.peer);
    }
    g_main_context_unref(context);
    return 0;
}
