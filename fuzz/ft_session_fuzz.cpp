// Arbitrary replies into the read side of a file transfer session: the
// first byte picks the protocol, the rest is what the peer "sent". The read
// loop must end (at the end of the bytes at the latest) with every waiter
// woken, and never crash or leak, whatever the codes and payloads.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "common/log.h"
#include "dirbase/message.h"
#include "ft/ft_protocol.h"
#include "ft/ft_session.h"
#include "ft/ft_transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    _log_level = LOG_CRITICAL + 1;
    _debug_ft = LOG_CRITICAL + 1;
    int protocol = data[0] & 1 ? FT_PROTOCOL_2 : FT_PROTOCOL_1;
    Message in(reinterpret_cast<const char*>(data) + 1, size - 1);
    Message out(0);
    FtTransaction t;
    FtSession session(&out, &in, protocol, nullptr, nullptr);
    session.setTransaction(&t);
    // The sender has sent FT_QUIT already, so an FT_QUIT_ACK is answered
    // at once.
    session.quitting();
    session.quitSent();
    session.runReadThread();
    if (!session.readerDone()) abort();
    // Whatever arrived, the waits now return at once.
    session.waitIndex();
    session.waitAck();
    int status = 0;
    std::string digest;
    session.waitFindMd5Reply(&status, &digest, 1);
    long long sigSize = 0;
    int count = 0;
    int strongLen = 0;
    std::vector<FtBlockSignature> sigs;
    session.waitSignatures(&sigSize, &count, &strongLen, &sigs, 1);
    if (count > FtSession::kMaxSignatures || static_cast<size_t>(count > 0 ? count : 0) != sigs.size()) abort();
    return 0;
}
