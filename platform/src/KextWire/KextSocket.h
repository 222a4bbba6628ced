// Socket plumbing shared by the IOKit stand-in, the daemon and the control tool: where the
// daemon's socket lives, and sending and receiving one datagram with its descriptors.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kextwire {

// TARSEL_KEXT_SOCKET when set, else $XDG_RUNTIME_DIR/tarsel-kext.sock, else
// /tmp/tarsel-kext-<uid>/kext.sock (the daemon makes that folder, mode 0700).
inline std::string socketPath()
{
    const char* forced = getenv("TARSEL_KEXT_SOCKET");
    if (forced != nullptr && forced[0] != '\0')
        return forced;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/tarsel-kext.sock";
    return "/tmp/tarsel-kext-" + std::to_string(getuid()) + "/kext.sock";
}

// Fills a socket address; false when the path does not fit.
inline bool makeAddress(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// The uid of the peer of a connected socket, or -1.
inline long peerUid(int fd)
{
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred)
        return -1;
    return long(cred.uid);
}

// A blocking connection to the daemon at `path`, or -1. The peer must run as this user or as
// root: a socket planted by anyone else is refused.
inline int connectTo(const std::string& path)
{
    sockaddr_un address;
    if (!makeAddress(path, address))
        return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc;
    do
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (rc != 0 && errno == EINTR);
    long uid = rc == 0 ? peerUid(fd) : -1;
    if (rc != 0 || (uid != long(getuid()) && uid != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one datagram, with `passFd` attached when it is not -1. Returns 0, or the errno value
// (EAGAIN on a full non-blocking socket). Never raises SIGPIPE.
inline int sendDatagram(int fd, const void* data, size_t size, int passFd = -1, bool wait = true)
{
    iovec iov{const_cast<void*>(data), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (passFd >= 0) {
        std::memset(control, 0, sizeof control);
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
    }
    int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        ssize_t n = sendmsg(fd, &msg, flags);
        if (n == ssize_t(size))
            return 0;
        if (n >= 0)
            return EMSGSIZE; // a datagram is never sent in part
        if (errno != EINTR)
            return errno;
    }
}

// Receives one datagram into `buffer` and the descriptors that came with it (at most
// kMaxFds; the kernel closes any beyond). Results: the datagram's size; 0 when the peer has
// closed; -1 with errno on failure (EAGAIN when `wait` is false and nothing is there); -2 when
// the datagram or its control data did not fit (its descriptors are closed). The caller owns
// the descriptors returned in `fds` and must close them.
constexpr size_t kMaxFds = 4;
inline ssize_t receiveDatagram(int fd, uint8_t* buffer, size_t capacity, int (&fds)[kMaxFds],
                               size_t& fdCount, bool wait = true)
{
    fdCount = 0;
    iovec iov{buffer, capacity};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(kMaxFds * sizeof(int))];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0))
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (fdCount < kMaxFds)
                fds[fdCount++] = received;
            else
                close(received);
        }
    }
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        for (size_t i = 0; i < fdCount; ++i)
            close(fds[i]);
        fdCount = 0;
        return -2;
    }
    return n;
}

inline void closeAll(const int* fds, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        close(fds[i]);
}

} // namespace kextwire
