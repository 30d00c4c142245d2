// Connectors: construction and binding on the first coms thread, accepting
// (optionally in forked children), and the address whitelist.
#include "coms/connector.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/log.h"
#include "common/op_target.h"
#include "common/os.h"
#include "common/properties.h"
#include "coms/listen_socket.h"
#include "coms/tls.h"

std::atomic<bool> Connector::_killAllClients{false};
char* Connector::_whitelist = nullptr;
CriticalBlock Connector::_whitelistLock{LOCK_RANK_NONE, kProcessLifetime};

namespace {

std::atomic<int> _bindAttempts{Connector::kDefaultBindAttempts};
std::atomic<int> _bindPauseMs{Connector::kDefaultBindPauseMs};
// After the process ran out of descriptors, accepting pauses this long.
const int kAcceptRetryMs = 100;

struct ConnectorOp : DeferredOp {
    enum Kind { CREATE, DESTROY };
    Kind kind;
    ConnectorListener* listener = nullptr;
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    int flags = 0;
    Connector* connector = nullptr;
};

}  // namespace

class ConnectorOps {
public:
    static Connector* construct(const ConnectorOp* op) {
        return new Connector(op->listener, op->cert, op->key, op->flags);
    }
    static void remove(Connector* c) {
        c->shutdown();
        Connector::releaseRef(c);
    }
};

namespace {

class ConnectorOpTarget : public OpTarget {
public:
    int execute(DeferredOp* op) override {
        auto* c = static_cast<ConnectorOp*>(op);
        if (c->kind == ConnectorOp::CREATE)
            c->connector = ConnectorOps::construct(c);
        else
            ConnectorOps::remove(c->connector);
        return 0;
    }
};

const ListenSocket::Texts kBindTexts = {
    "%s: binding to port: %s, listenQueue = %d",
    "%s: Unable to open socket",
    "%s: getservbyname: Unable to find service",
    "bind: port still in use. Will retry...",
    "bind: Unable to bind to port",
    "%s: Unable to listen() on port",
};

}  // namespace

// ---------------------------------------------------------------------------

void Connector::createOpTargets(Connection::ComsThreadContext* ctx) {
    ctx->connectorTarget = new ConnectorOpTarget();
}

Connector::Connector(ConnectorListener* listener, X509* cert, EVP_PKEY* key, int flags)
    : _listener(listener), _listenerCalls(0), _flags(flags), _ctx(nullptr), _socket(-1), _readEvent(nullptr), _retryTimer(nullptr),
      _bindAddress(nullptr), _boundPort(0), _serverVersion(kDefaultServerVersion) {
    snprintf(_name, sizeof(_name), "X-");
    snprintf(_traceName, sizeof(_traceName), "%s (connector)", _name);
    if ((flags & FLAG_PLAIN) == 0) _ctx = tlsServerContext(cert, key, false, _traceName);
    _retryTimer = new TimerEvent(this);
}

Connector::~Connector() {
    // The events went in shutdown, on the thread they belong to.
    SSL_CTX_free(_ctx);
    free(_bindAddress);
}

void Connector::shutdown() {
    _closed = true;
    delete _readEvent;
    _readEvent = nullptr;
    delete _retryTimer;
    _retryTimer = nullptr;
    if (_socket >= 0) close(_socket);
    _socket = -1;
}

namespace {
// The connector whose listener the current thread is calling, if any.
thread_local const Connector* t_inListenerOf = nullptr;
}  // namespace

void Connector::forgetListener() {
    int own = t_inListenerOf == this ? 1 : 0;
    CondSection hold(_listenerBlock);
    _listener = nullptr;
    while (_listenerCalls > own) _listenerBlock.wait();
}

template <class Call>
bool Connector::callListener(Call call) {
    ConnectorListener* listener;
    {
        CondSection hold(_listenerBlock);
        listener = _listener;
        if (listener == nullptr) return false;
        _listenerCalls++;
    }
    const Connector* outer = t_inListenerOf;
    t_inListenerOf = this;
    bool result = call(listener);
    t_inListenerOf = outer;
    CondSection hold(_listenerBlock);
    if (--_listenerCalls == 0) _listenerBlock.broadcast();
    return result;
}

void Connector::releaseRef(Connector* connector) {
    // The last reference may go on any coms thread: by then only what the
    // connections used (the TLS context, the names) is left to free.
    if (connector->_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete connector;
}

Connector* Connector::create(ConnectorListener* listener, X509* cert, EVP_PKEY* key, int flags) {
    Connection::comsInit();
    Connection::ComsThreadContext* first = Connection::getComsContext(0);
    if (first == nullptr) return nullptr;
    ConnectorOp op;
    op.kind = ConnectorOp::CREATE;
    op.listener = listener;
    op.cert = cert;
    op.key = key;
    op.flags = flags;
    if (first->isCurrentThread())
        op.connector = ConnectorOps::construct(&op);
    else
        first->connectorTarget->doExecute(&op);
    return op.connector;
}

void Connector::destroy(Connector* connector) {
    if (connector == nullptr) return;
    // Here rather than on the first coms thread: a listener that destroys
    // its connector from a call on another coms thread would otherwise have
    // that thread wait for its own call to end.
    connector->forgetListener();
    Connection::ComsThreadContext* first = Connection::getComsContext(0);
    if (first == nullptr || first->isCurrentThread()) {
        ConnectorOps::remove(connector);
        return;
    }
    ConnectorOp op;
    op.kind = ConnectorOp::DESTROY;
    op.connector = connector;
    first->connectorTarget->doExecute(&op);
}

void Connector::setBindAddress(const char* address) {
    free(_bindAddress);
    _bindAddress = address != nullptr ? strdup(address) : nullptr;
}

int Connector::bind(const char* port) {
    if (port == nullptr) return -1;
    if (_boundPort != 0) {
        // A second socket would be left accepting behind the first.
        log(0, "%s: already listening on port %d", _name, _boundPort);
        return -1;
    }
    snprintf(_name, sizeof(_name), "X-%s", port);
    snprintf(_traceName, sizeof(_traceName), "%s (connector)", _name);
    if (Connection::getComsContext(0) == nullptr) return -1;
    ListenSocket::Request request;
    request.name = _name;
    request.port = port;
    request.bindAddress = _bindAddress;
    request.listenQueue = _listen_queue;
    request.nonBlocking = true;
    request.texts = &kBindTexts;
    request.ready = [](void* self, int socket) { return static_cast<Connector*>(self)->listening(socket); };
    request.readyArg = this;
    request.failed = [](void* self, int err, int attempt, bool willRetry) {
        static_cast<Connector*>(self)->callListener([&](ConnectorListener* listener) {
            listener->onBindFailed(err, attempt, bindAttempts(), bindPauseMs(), willRetry);
            return true;
        });
    };
    request.wanted = [](void* self) { return !static_cast<Connector*>(self)->_closed.load(); };
    // Held while attempts are under way: a destroy meanwhile (by another
    // thread, or by the listener from onBindFailed) must not free what the
    // next attempt reads.
    addRef();
    int rc = ListenSocket::bind(&request);
    if (rc == 0) _boundPort = request.boundPort;
    releaseRef(this);  // may be the last: nothing of this after it
    return rc;
}

bool Connector::listening(int socket) {
    // On the first coms thread, where the accepting event must live, and
    // where shutdown runs: no destroy comes between the check and the event.
    if (_closed) {
        close(socket);
        return false;
    }
    _socket = socket;
    _readEvent = new FdEvent(this, _socket, FdEvent::KIND_READ);
    return true;
}

void Connector::setBindRetry(int attempts, int pauseMs) {
    _bindAttempts = attempts > 0 ? attempts : 1;
    _bindPauseMs = pauseMs >= 0 ? pauseMs : 0;
}

int Connector::bindAttempts() {
    return _bindAttempts;
}

int Connector::bindPauseMs() {
    return _bindPauseMs;
}

bool Connector::newConnection(Connection* connection, int type) {
    return callListener([&](ConnectorListener* listener) { return listener->newConnection(connection, type); });
}

void Connector::handleEvent(Event* e) {
    if (e == _retryTimer) {
        if (_readEvent != nullptr && _socket >= 0) _readEvent->enabled(true);
        return;
    }
    if (_socket >= 0) acceptOne();
}

void Connector::acceptOne() {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    int fd = accept4(_socket, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) return;
        log(err, "%s: accept failed", _name);
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            // The pending socket stays ready and would spin the loop.
            _readEvent->enabled(false);
            _retryTimer->set(kAcceptRetryMs);
        }
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    char peer[INET_ADDRSTRLEN];
    s_inet_ntoa(peer, sizeof(peer), addr.sin_addr.s_addr);
    bool plain = (_flags & FLAG_PLAIN) != 0;
    if ((_flags & FLAG_FORK) == 0) {
        Connection::ComsThreadContext* ctx = Connection::pickContext();
        Connection::attach(ctx, this, fd, peer, plain);
        return;
    }
    pid_t pid = fork();
    if (pid < 0) {
        log(errno, "%s: fork failed for a connection from %s", _name, peer);
        close(fd);
        return;
    }
    if (pid > 0) {
        close(fd);
        return;
    }
    // The child: only this thread came along, so the connection lives here,
    // and accepting is the parent's business.
    ThreadContext::get()->afterFork();
    close(_socket);
    _socket = -1;
    Connection::dropInheritedConnections();
    // The thread that handles signals did not come along, and a host blocks
    // them everywhere else: without this the child could not be stopped.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    Connection::ComsThreadContext* ctx = Connection::getComsContext(0);
    ctx->adjustCount(1);
    Connection* served = Connection::attach(ctx, this, fd, peer, plain);
    if (served != nullptr) served->endProcessWhenDeleted();
}

// ---------------------------------------------------------------------------
// The whitelist

void Connector::setUXWhitelist(const char* text) {
    char* copy = text != nullptr ? strdup(text) : nullptr;
    CriticalSection hold(_whitelistLock);
    free(_whitelist);
    _whitelist = copy;
}

bool Connector::hasWhitelist() {
    CriticalSection hold(_whitelistLock);
    return _whitelist != nullptr;
}

bool Connector::passesWhitelist(const char* address) {
    char* copy;
    {
        CriticalSection hold(_whitelistLock);
        copy = _whitelist != nullptr ? strdup(_whitelist) : nullptr;
    }
    if (copy == nullptr) return true;
    bool ok = checkWhitelist(copy, address);
    free(copy);
    return ok;
}

namespace {

// One whitelist rule, blanks already removed: the network and mask it
// matches, or why it cannot match anything. The check logs such a rule and
// skips it; drvconn refuses it up front.
struct WhitelistRule {
    uint32_t network = 0;
    uint32_t mask = 0;
    bool cidr = false;              // ADDRESS/BITS rather than one address
    const char* problem = nullptr;  // null for a usable rule
};

WhitelistRule parseWhitelistRule(const char* text) {
    WhitelistRule rule;
    int dots = 0, slashes = 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p == '.') dots++;
        if (*p == '/') slashes++;
    }
    rule.cidr = slashes > 0;
    if (dots != 3 || slashes > 1) {
        rule.cidr = true;  // logged as a bad CIDR rule
        rule.problem = "expected an IPv4 address or ADDRESS/BITS (three dots, at most one slash)";
        return rule;
    }
    char address[INET_ADDRSTRLEN + 8];
    const char* slash = strchr(text, '/');
    size_t length = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
    struct in_addr parsed;
    if (length >= sizeof(address)) {
        rule.problem = "not an IPv4 address";
        return rule;
    }
    memcpy(address, text, length);
    address[length] = '\0';
    if (inet_pton(AF_INET, address, &parsed) != 1) {
        rule.problem = rule.cidr ? "the network is not an IPv4 address" : "not an IPv4 address";
        return rule;
    }
    rule.network = ntohl(parsed.s_addr);
    rule.mask = 0xFFFFFFFFu;
    if (slash != nullptr) {
        char* end = nullptr;
        long bits = strtol(slash + 1, &end, 10);
        if (end == slash + 1 || *end != '\0' || bits < 0 || bits > 32) {
            rule.problem = "the prefix length must be a number from 0 to 32";
            return rule;
        }
        // 0 compares all 32 bits, as a plain address does.
        if (bits != 0 && bits != 32) rule.mask = ~(0xFFFFFFFFu >> bits);
    }
    return rule;
}

// Splits a whitelist at its commas and calls each(rule text, rule) with the
// blanks of each rule removed, until each returns true. Every comma ends a
// rule: ",," holds an empty rule, a bad one like " " between two commas.
template <class Each>
void forEachWhitelistRule(const char* whitelist, Each each) {
    char* rules = strdup(whitelist);
    for (char* token = rules; token != nullptr;) {
        char* comma = strchr(token, ',');
        if (comma != nullptr) *comma = '\0';
        char* out = token;
        for (char* in = token; *in != '\0'; in++)
            if (!isspace(static_cast<unsigned char>(*in))) *out++ = *in;
        *out = '\0';
        if (each(token, parseWhitelistRule(token))) break;
        token = comma != nullptr ? comma + 1 : nullptr;
    }
    free(rules);
}

}  // namespace

bool Connector::checkWhitelist(const char* whitelist, const char* address) {
    if (address == nullptr || strcmp(address, "127.0.0.1") == 0) return true;
    struct in_addr peer;
    if (inet_pton(AF_INET, address, &peer) != 1) return false;
    if (whitelist == nullptr) return true;
    log(_debug_coms, LOG_DEBUG, 0, 0, "WhiteList: whitelist = %s, connection = %s", whitelist, address);
    uint32_t peerBits = ntohl(peer.s_addr);

    bool matched = false;
    forEachWhitelistRule(whitelist, [&](const char* text, const WhitelistRule& rule) {
        log(_debug_coms, LOG_DEBUG, 0, 0, "Whitelist: Rule = %s", text);
        if (rule.problem != nullptr) {
            log(_debug_coms, LOG_WARNING, 0, 0,
                rule.cidr ? "Warning: bad cidr notation in UXWhitelist, %s" : "Warning: bad IP in UXWhitelist, %s",
                text);
            return false;
        }
        if ((rule.network & rule.mask) == (peerBits & rule.mask)) {
            log(_debug_coms, LOG_DEBUG, 0, 0, rule.cidr ? "Matches filter" : "Whitelist: Matches");
            matched = true;
        }
        return matched;
    });
    if (!matched) log(_debug_coms, LOG_INFO, 0, 0, "Whitelist: No Matches");
    return matched;
}

bool Connector::findBadWhitelistRule(const char* whitelist, std::string* rule, std::string* reason) {
    bool bad = false;
    forEachWhitelistRule(whitelist, [&](const char* text, const WhitelistRule& parsed) {
        if (parsed.problem == nullptr) return false;
        *rule = text;
        *reason = parsed.problem;
        bad = true;
        return true;
    });
    return bad;
}
