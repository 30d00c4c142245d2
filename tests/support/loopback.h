// listenOnLoopback: a listening socket on 127.0.0.1 at a port the kernel
// picks, for tests that stand in for a peer. The caller closes it.
#ifndef DRV_TESTS_SUPPORT_LOOPBACK_H
#define DRV_TESTS_SUPPORT_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

// The socket (its port, as text, in *port), or -1.
inline int listenOnLoopback(int backlog, std::string* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    *port = std::to_string(ntohs(addr.sin_port));
    listen(fd, backlog);
    return fd;
}

#endif
