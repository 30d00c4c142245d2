// ListenSocket: binding a port and listening on it, for the connectors of
// both kinds. The work runs on the first coms thread while the caller
// waits; while the port stays in use the next attempt waits on a timer
// there, so the thread keeps serving its connections between attempts.
//
// Thread-safety: bind() from any thread but the first coms thread's handlers
// (where it cannot wait for its own timer and pauses in place instead).
#ifndef DRV_COMS_LISTEN_SOCKET_H
#define DRV_COMS_LISTEN_SOCKET_H

class OpTarget;

class ListenSocket {
public:
    // What one kind of connector logs. Every text takes the connector's
    // name as its first argument (texts without "%s" ignore it); binding
    // also takes the port and the queue length, and may be null.
    struct Texts {
        const char* binding;
        const char* noSocket;
        const char* noService;
        const char* retry;
        const char* cannotBind;
        const char* cannotListen;
    };

    // Called on the first coms thread with the listening socket, before the
    // waiting caller is woken; false drops the socket (already closed by the
    // callee) and makes bind fail.
    using Ready = bool (*)(void* arg, int socket);

    struct Request {
        const char* name;
        const char* port;         // a number, "0" or a service name
        const char* bindAddress;  // IPv4 text or null for all addresses
        int listenQueue;
        bool nonBlocking;
        const Texts* texts;
        Ready ready;  // may be null
        void* readyArg;
        // Told of each failed bind (errno, attempt from 1, whether another
        // follows) on the thread that binds; may be null. Takes readyArg.
        void (*failed)(void* arg, int err, int attempt, bool willRetry) = nullptr;
        // Asked before each further attempt (after failed): false gives the
        // bind up with -1, for an owner that went meanwhile. May be null.
        bool (*wanted)(void* arg) = nullptr;
        // Results: the socket (-1 on failure) and the port bound.
        int socket = -1;
        int boundPort = 0;
    };

    // Binds and listens as asked, retrying while the port is in use
    // (Connector::bindAttempts times, Connector::bindPauseMs apart): 0 or -1.
    static int bind(Request* request);

    // The port a connector or a client is given: 0 for "0" (the system
    // chooses), the number, or -1 when it is neither a number nor a known
    // TCP service.
    static int lookUpPort(const char* port);

    // The bind target of the first coms thread (created with its context).
    static OpTarget* createOpTarget();
};

#endif
