// Sockets on 127.0.0.1 at a port the kernel picks, for tests that stand in
// for a peer (listenOnLoopback) or need a port where nobody listens
// (loopbackSocket). The caller closes them.
#ifndef DRV_TESTS_SUPPORT_LOOPBACK_H
#define DRV_TESTS_SUPPORT_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

// A TCP socket bound to 127.0.0.1 at a port the kernel picks, its number in
// *port, not listening (a connect to it is refused); -1 if none was made.
inline int loopbackSocket(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

// The same socket listening (its port, as text, in *port), or -1.
inline int listenOnLoopback(int backlog, std::string* port) {
    int number = 0;
    int fd = loopbackSocket(&number);
    if (fd < 0) return -1;
    *port = std::to_string(number);
    listen(fd, backlog);
    return fd;
}

#endif
