// The pure half of relaying between a client and an agent that called in:
// reading the leading values of a relayed message and writing the message
// passed on. The relay table and the sessions live in dird_relay.cpp; what is
// here touches no session, so a hostile peer's bytes can be fuzzed through it
// alone.
//
// Ownership: a RelayBody owns a copy of the message's body; every Message*
// returned is new and owned by the caller. Thread-safety: none needed, no
// shared state.
#ifndef DRV_TOOLS_DIRD_RELAY_CODEC_H
#define DRV_TOOLS_DIRD_RELAY_CODEC_H

#include <stddef.h>

#include <string>

class Message;
class Principal;
class Translatable;

// The bytes of a received message's body, and readers of single tagged
// values at an offset (each false when the value is not there).
struct RelayBody {
    explicit RelayBody(Message* m);
    RelayBody(const unsigned char* data, size_t size);
    ~RelayBody();
    RelayBody(const RelayBody&) = delete;
    RelayBody& operator=(const RelayBody&) = delete;

    // A string at `at`: its text and the offset after it.
    bool string(size_t at, std::string* out, size_t* next) const;
    bool int64(size_t at, long long* out) const;
    bool int32(size_t at, int* out) const;
    bool boolean(size_t at, bool* out) const;

    unsigned char* bytes;
    size_t length;
};

// A client's masqueraded request: the asset id, the client's request id,
// and where the rest of the body starts. False when either value is missing.
struct MasqueradeHead {
    std::string assetId;
    long long clientId = 0;
    size_t rest = 0;
};
bool readMasqueradeHead(const RelayBody& body, MasqueradeHead* out);

// A message of code holding id, then the bytes of body from `from` on.
Message* relayForwarded(int code, long long id, const RelayBody& body, size_t from);

// A relayed request: code, the server's id, then the principal the server
// vouches for in place of the one the client wrote, then the rest of the
// body as it came. Null when no principal follows at `from`.
Message* relayForwardedAs(int code, long long id, const Principal* principal, const RelayBody& body, size_t from);

// A client's listener request (M_OPEN_LISTENER or M_OPEN_LISTENER2), read
// so that it can be written again under the id the agent will know it by,
// as the principal the server vouches for.
class RelayedListenerRequest {
public:
    RelayedListenerRequest() = default;
    ~RelayedListenerRequest();
    RelayedListenerRequest(const RelayedListenerRequest&) = delete;
    RelayedListenerRequest& operator=(const RelayedListenerRequest&) = delete;

    // False when the request from `from` on does not read. Once only.
    bool read(const RelayBody& body, size_t from);
    // The client's own listener id (after a successful read).
    int clientListener() const { return _clientListener; }
    Message* write(int code, int relayedId, const Principal* principal) const;

private:
    Translatable* _object = nullptr;
    Translatable* _filter = nullptr;
    int _clientListener = 0;
};

// A listener update (M_LISTENER_UPDATE or M_LISTENER_UPDATE2) from an agent:
// the agent's listener id, and the update passed on to the client under its
// own listener id.
bool readAgentListenerId(const RelayBody& body, int* agentListener);
Message* relayListenerUpdate(int code, int clientListener, const RelayBody& body);

// Whether an agent's answer of code ends its relay: progress and every
// partial search reply but the last leave it in place.
bool relayAnswerIsFinal(int code, const RelayBody& body);

#endif
