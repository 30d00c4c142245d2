// FullListener: a loopback port that takes no connection, for tests of
// what a connect does while its peer does not answer. The listener never
// accepts and its queue is kept full, so the kernel drops every new SYN, as
// for a host that does not answer. The queued connections and the listener
// close with the object.
#ifndef DRV_TESTS_SUPPORT_FULL_LISTENER_H
#define DRV_TESTS_SUPPORT_FULL_LISTENER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/loopback.h"

class FullListener {
public:
    FullListener() {
        _listen = listenOnLoopback(0, &port);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        // Queue connections until one is left hanging: the queue is full.
        for (int i = 0; i < 8 && !full; i++) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            _queued.push_back(fd);
            if (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) continue;
            struct pollfd pfd = {fd, POLLOUT, 0};
            full = poll(&pfd, 1, 300) == 0;
        }
    }
    ~FullListener() {
        for (int fd : _queued) close(fd);
        close(_listen);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    std::string port;
    bool full = false;  // false: the queue could not be filled

private:
    int _listen;
    std::vector<int> _queued;
};

#endif
