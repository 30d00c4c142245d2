// What the directory server reads from outside: an asset table text (first
// byte 0), and message bodies of every code as its sessions read them: a
// client's request (1), a login request (2), an enrolment request (3). A
// table that parses must write itself out as a text that parses to the same
// number of records; a request that reads must name a code of its kind.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "dir/asset.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dirbase/message.h"
#include "tools/dird/asset_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        _log_level = LOG_CRITICAL + 1;
        Directory::init();
        return true;
    }();
    (void)ready;
    if (size < 3) return 0;
    int kind = data[0] % 4;
    if (kind == 0) {
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        std::vector<Asset*> assets;
        std::vector<Endpoint*> endpoints;
        std::string error;
        if (!AssetTable::parse(text.c_str(), &assets, &endpoints, &error)) {
            if (error.empty() || !assets.empty() || !endpoints.empty()) abort();
            return 0;
        }
        for (Asset* a : assets) delete a;
        for (Endpoint* e : endpoints) delete e;
        return 0;
    }
    // The message code: two bytes, so that masqueraded codes are reached too.
    int code = (data[1] << 8 | data[2]) % 10400;
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
