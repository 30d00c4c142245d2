// Pieces shared by the remote provider's source files: the "dir-client"
// thread and its operations, the live-provider registry that those
// operations go through, and ProviderLink, the connection listener that
// stands between a connection and its provider.
//
// Thread-safety: runOnClientThread may be called from any thread. The live
// registry is guarded by _liveLock, which is held while an operation or a
// timer runs for a provider, so that a provider being destroyed on another
// thread waits for it and no later one reaches it. A ProviderLink's
// forwarding holds the link's busy count, which detach() waits for.
#ifndef DRV_DIR_NET_CLIENT_INTERNAL_H
#define DRV_DIR_NET_CLIENT_INTERNAL_H

#include <atomic>
#include <functional>
#include <optional>

#include "common/sem.h"
#include "coms/coms_barrier.h"
#include "coms/connection.h"
#include "dir/net_client_spi.h"

namespace netclient {

// Runs fn(provider) on the "dir-client" thread while the provider lives
// (looked up by its serial number then); when it is gone, runs orElse
// instead, if given (for work that holds something the provider was to
// take over). Without a thread, runs orElse at once and returns false.
bool runFor(long long serial, std::function<void(NetClientSPI*)> fn, std::function<void()> orElse = nullptr);
// Runs fn on the "dir-client" thread (started if needed); false, with fn
// dropped, when no thread can be started.
bool runOnClientThread(std::function<void()> fn);
bool onClientThread();
// Registers / withdraws a provider; withdraw waits for any operation that
// runs for it.
long long enroll(NetClientSPI* spi);
void withdraw(long long serial);
// Arms the provider's connect timer (created on the dir-client thread).
void setTimer(long long serial, int ms);
// Ends the timer of a withdrawn provider.
void dropTimer(long long serial);
// The provider the serial number names while the caller holds the live
// lock inside an operation; for tests of the registry.
NetClientSPI* liveProvider(long long serial);

// Gives a managed connection its read time-out and heartbeat rate.
void setManagedTiming(Connection* c);

// True for an RSA key: the only kind a key on file may be.
bool isRsaKey(const EVP_PKEY* key);
// The RSA public key of a PEM text (a new reference), or null.
EVP_PKEY* readRsaPublicKey(const char* pem);

}  // namespace netclient

// Forwards a connection's callbacks to its provider until detached.
class ProviderLink : public ConnectionListener {
public:
    explicit ProviderLink(NetClientSPI* spi) : _spi(spi), _busy(0), _drained(false) {}
    ~ProviderLink() override = default;

    int onReceive(Connection* c, Message* m) override;
    void onNoConnect(Connection* c, int code) override;
    void onLost(Connection* c) override;
    void onClosed(Connection* c) override;
    void onConnectComplete(Connection* c) override;
    void onResolveComplete(Connection* c, int error, int address) override;

    // No call reaches the provider after this returns. The link itself
    // stays allocated (a connection may still hold it) until park's owner
    // frees it at thread stop.
    void detach();
    // Keeps a detached link until the dir-client thread stops. closed is
    // the provider's connection, if it had one: closed (so its listener is
    // cleared) but not yet destroyed. The link is freed only once a barrier
    // behind that connection's callbacks has passed.
    static void park(ProviderLink* link, Connection* closed);
    static void freeParked();

private:
    NetClientSPI* enter();
    void leave();

    // Every message of the connection passes through enter and leave, so
    // they take no lock: a forwarder counts itself busy, then reads the
    // provider; detach clears the provider, then adds kDetaching to the
    // count. Both pairs are sequentially consistent, so either the
    // forwarder reads null or detach's addition finds it counted; then the
    // forwarder whose leave brings the count down to the mark alone wakes
    // detach through the block.
    static constexpr int kDetaching = 1 << 30;
    std::atomic<NetClientSPI*> _spi;
    std::atomic<int> _busy;
    CondBlock _block;
    bool _drained GUARDED_BY(_block);
    std::optional<ComsBarrier> _lastCallbacks;  // set by park
};

#endif
