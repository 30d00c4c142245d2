// Feeds arbitrary message bodies of every directory code to a remote
// provider's receive path, as if its peer had sent them. The first byte picks
// the code (from every code a peer may send, plus the masquerade form and a
// few unknown ones); the second says whether the body's leading id is
// replaced by the id of a synchronous call that waits for an answer, and
// whether that call waits for a reply of the code given or of another kind,
// so that replies and partial searches reach a live call, a call that must
// not take them, and none; the rest is the body. The provider has no peer to reach (its host is missing), so
// nothing leaves the process.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/delayed_event.h"
#include "common/dravika_init.h"
#include "common/log.h"
#include "dir/dir_protocol.h"
#include "dir/directory.h"
#include "dir/net_client_spi.h"
#include "dirbase/attributes.h"
#include "dirbase/enumeration.h"
#include "dirbase/message.h"
#include "io/input.h"

namespace {

const int kCodes[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 20, 21,  22,  23,  24,  25,    26,   27,
                      28, 29, 31, 32, 33, 34, 35, 36, 38, 40, 41, 43, 44, 45,  46,  47,  48,  49,    50,   51,
                      53, 54, 60, 61, 62, 63, 80, 81, 82, 83, 100, 224, 225, 226, 227, 300, 10006, 99999, 0};

struct World {
    World() {
        dravika_init();
        setLog("/dev/null");
        Directory::init();
        NetClientSPI::install();
        spi = new NetClientSPI(nullptr, "fuzz", nullptr, nullptr, nullptr, "Dfuzz", nullptr);
    }
    NetClientSPI* spi;
};

World& world() {
    static World* w = new World();
    return *w;
}

// Frees the gathered search entries, and hands back whatever else a reply
// left in the event: a decoded object of the kind the code carries, or the
// input a file reply opened.
void* take(DelayedEvent* e) {
    void* v = e->isDone() && !e->isError() ? e->getValue() : nullptr;
    delete static_cast<DirectoryEnumeration*>(e->partialResult);
    e->partialResult = nullptr;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = world();
    if (size < 2) return 0;
    int code = kCodes[data[0] % (sizeof(kCodes) / sizeof(kCodes[0]))];
    bool live = (data[1] & 1) != 0;
    std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    DelayedEvent* event = new DelayedEvent();
    if (live && body.size() >= 9 && static_cast<unsigned char>(body[0]) == TAG_INT64) {
        unsigned char id[8];
        putBE64(id, static_cast<uint64_t>(event->getId()));
        body.replace(1, 8, reinterpret_cast<const char*>(id), 8);
        int expected = code == DirProtocol::M_SEARCH_PARTIAL_REPLY ? DirProtocol::M_SEARCH_REPLY : code;
        if ((data[1] & 2) != 0) expected = DirProtocol::M_RESOLVE_REPLY;
        w.spi->expectReply(event->getId(), expected);
    }
    Message* m = new Message(body.data(), body.size());
    m->frame().type = static_cast<uint32_t>(code);
    if (w.spi->onReceive(nullptr, m) == 0) delete m;
    w.spi->forgetReply(event->getId());
    void* value;
    {
        CriticalSection hold(DelayedEvent::registryLock());
        value = take(event);
    }
    // An input is deleted outside the registry lock: its clean-up takes the
    // provider's input-list lock, which is never held with that one.
    if (code == DirProtocol::M_READ_REMOTE_FILE_REPLY)
        delete static_cast<Input*>(value);
    else
        delete static_cast<Translatable*>(value);
    delete event;
    return 0;
}
