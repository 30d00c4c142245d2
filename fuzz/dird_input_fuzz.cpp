// What the directory server reads from outside: an asset table text (first
// byte 0), and message bodies of every code as its sessions read them: a
// client's request (1), a login request (2), an enrolment request (3), a
// client's request relayed to an agent (4) and an agent's answer relayed
// back (5). A table that parses must write itself out as a text that parses
// to the same records; a request that reads must name a code of its
// kind; a relayed message must carry the rest of what came byte for byte.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/principal.h"
#include "dirbase/message.h"
#include "tools/dird/asset_table.h"
#include "tools/dird/relay_codec.h"

namespace {

// The relayed message must be code, the new id, then body's bytes from `from`
// (after the 9-byte frame header a message being written starts with).
void checkForwarded(Message* m, int code, long long id, const RelayBody& body, size_t from) {
    size_t length = 0;
    unsigned char* out = m->copyBytes(&length);
    size_t rest = from < body.length ? body.length - from : 0;
    const unsigned char* b = out + 9;
    if (m->getType() != static_cast<uint32_t>(code) || length != 18 + rest || b[0] != TAG_INT64 ||
        static_cast<long long>(getBE64(b + 1)) != id || (rest > 0 && memcmp(b + 9, body.bytes + from, rest) != 0))
        abort();
    free(out);
    delete m;
}

void relayRequest(int plain, const RelayBody& body) {
    static Principal server("v1`carol,x,ops`carol,x", "testdom", nullptr, 9);
    MasqueradeHead head;
    if (!readMasqueradeHead(body, &head)) return;
    if (head.rest > body.length) abort();
    checkForwarded(relayForwarded(plain, 77, body, head.rest), plain, 77, body, head.rest);
    delete relayForwardedAs(plain, 78, &server, body, head.rest);
    RelayedListenerRequest request;
    if (request.read(body, head.rest)) delete request.write(plain, 79, &server);
}

void relayAnswer(int code, const RelayBody& body) {
    long long id = 0;
    if (!body.int64(0, &id)) return;
    int agentListener = 0;
    if (readAgentListenerId(body, &agentListener)) delete relayListenerUpdate(code, 5, body);
    (void)relayAnswerIsFinal(code, body);
    checkForwarded(relayForwarded(code, 80, body, 9), code, 80, body, 9);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
        return true;
    }();
    (void)ready;
    if (size < 3) return 0;
    int kind = data[0] % 6;
    if (kind == 0) {
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        std::vector<Asset*> assets;
        std::vector<Endpoint*> endpoints;
        std::string error;
        if (!AssetTable::parse(text.c_str(), &assets, &endpoints, &error)) {
            if (error.empty() || !assets.empty() || !endpoints.empty()) abort();
            return 0;
        }
        std::string written = AssetTable::format(assets, endpoints);
        std::vector<Asset*> assets2;
        std::vector<Endpoint*> endpoints2;
        if (!AssetTable::parse(written.c_str(), &assets2, &endpoints2, &error) || assets2.size() != assets.size() ||
            endpoints2.size() != endpoints.size() || AssetTable::format(assets2, endpoints2) != written)
            abort();
        for (auto* list : {&assets, &assets2})
            for (Asset* a : *list) delete a;
        for (auto* list : {&endpoints, &endpoints2})
            for (Endpoint* e : *list) delete e;
        return 0;
    }
    // The message code: two bytes, so that masqueraded codes are reached too.
    int code = (data[1] << 8 | data[2]) % 10400;
    if (kind >= 4) {
        RelayBody body(data + 3, size - 3);
        if (kind == 4)
            relayRequest(code % DirProtocol::kMasqOffset, body);
        else
            relayAnswer(code % DirProtocol::kMasqOffset, body);
        return 0;
    }
    Message in(reinterpret_cast<const char*>(data + 3), size - 3);
    in.frame().type = static_cast<uint32_t>(code);
    if (kind == 1) {
        DirProtocol::Request req;
        if (DirProtocol::readRequest(&in, &req) == 0 && req.code >= DirProtocol::kMasqOffset) abort();
    } else if (kind == 2) {
        DirProtocol::LoginRequest req;
        DirProtocol::readLoginRequest(&in, &req);
    } else {
        DirProtocol::DomainRequest req;
        DirProtocol::readDomainRequest(&in, &req);
    }
    return 0;
}
