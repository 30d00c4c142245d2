#include "ft/ft_protocol.h"

#include "dirbase/message.h"

namespace {

struct CommandRow {
    const char* name;
    int32_t code;
    bool fileListOnly;
};

#define DRV_FT_COMMAND_ROW(name, code, dir) {#name, code, false},
const CommandRow kRows[] = {DRV_FT_COMMANDS(DRV_FT_COMMAND_ROW)};
#undef DRV_FT_COMMAND_ROW

// The meanings that exist only inside a file list, where they shadow the
// outside meaning of the same number.
bool fileListMeaning(const char* name) {
    static const char* const kInside[] = {"FT_SYNC_END", "FT_RECV_PART2", "FT_END_OF_FILES",
                                          "FT_RECV_PART2_KNOWN", "FT_RECV_PART3"};
    for (const char* n : kInside)
        if (__builtin_strcmp(n, name) == 0) return true;
    return false;
}

}  // namespace

const char* ftCommandName(int32_t code, bool inFileList) {
    const char* fallback = nullptr;
    for (const CommandRow& row : kRows) {
        if (row.code != code) continue;
        if (fileListMeaning(row.name) == inFileList) return row.name;
        if (fallback == nullptr) fallback = row.name;
    }
    return fallback != nullptr ? fallback : "unknown";
}

int ftWriteCommand(MessageBase* out, int protocol, int32_t code) {
    return protocol >= FT_PROTOCOL_2 ? out->writeCmd(code) : out->writeInt32(code);
}

int ftWritePlain(MessageBase* out, int32_t code) { return out->writeInt32(code); }

int ftReadCommand(MessageBase* in, int32_t* code) {
    if (in->getError() != 0) return in->getError();
    int rc = in->readCmd(code);
    if (rc == MSG_E_BAD_TYPE) {
        // Not a command tag: it was pushed back; try the plain form.
        in->recover();
        rc = in->readInt32(code);
    }
    return rc;
}

int ftReadReply(MessageBase* in, int32_t* code) { return in->readInt32(code); }
