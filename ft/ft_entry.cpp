#include "ft/ft_entry.h"

#include <stdlib.h>

#include "dirbase/message.h"
#include "ft/ft_protocol.h"

namespace {

int readStr(MessageBase* in, std::string* s) {
    char* v = nullptr;
    int rc = in->readString(&v);
    if (rc != 0) return rc;
    s->assign(v != nullptr ? v : "");
    free(v);
    return 0;
}

}  // namespace

int FtEntryHeader::write(MessageBase* out) const {
    ftWritePlain(out, code);
    if (code == FT_RECV_PART2_KNOWN) {
        out->writeInt64(size);
        out->writeString(name.c_str());
        out->writeInt32(mode);
    } else {
        out->writeString(name.c_str());
        out->writeInt32(mode);
        out->writeInt64(size);
    }
    out->writeString(owner.c_str());
    out->writeString(group.c_str());
    out->writeInt64(mtimeMs);
    out->writeInt32(type);
    return out->writeInt32(body);
}

int FtEntryHeader::readAfterCode(MessageBase* in, int32_t c) {
    code = c;
    int rc;
    if (c == FT_RECV_PART2_KNOWN) {
        if ((rc = in->readInt64(&size)) != 0 || (rc = readStr(in, &name)) != 0) return rc;
    } else {
        if ((rc = readStr(in, &name)) != 0) return rc;
    }
    if ((rc = in->readInt32(&mode)) != 0) return rc;
    if (c != FT_RECV_PART2_KNOWN && (rc = in->readInt64(&size)) != 0) return rc;
    if ((rc = readStr(in, &owner)) != 0 || (rc = readStr(in, &group)) != 0 || (rc = in->readInt64(&mtimeMs)) != 0 ||
        (rc = in->readInt32(&type)) != 0 || (rc = in->readInt32(&body)) != 0)
        return rc;
    if (size < 0 || (type != FT_TYPE_DIRECTORY && type != FT_TYPE_FILE && type != FT_TYPE_LINK) ||
        body < FT_BODY_NONE || body > FT_BODY_SYNC)
        return -1;
    return 0;
}

int FtIndexRecord::write(MessageBase* out, bool withDigest) const {
    return writeAs(out, withDigest, type == FT_TYPE_ERROR);
}

int FtIndexRecord::writeStored(MessageBase* out) const {
    return writeAs(out, true, false);
}

int FtIndexRecord::writeAs(MessageBase* out, bool withDigest, bool error) const {
    out->writeInt32(type);
    out->writeString(name.c_str());
    if (error) return out->writeString(reason.c_str());
    out->writeInt64(size);
    out->writeInt64(mtimeMs);
    if (type == FT_TYPE_LINK) return out->writeString(target.c_str());
    if (type == FT_TYPE_FILE && withDigest) return out->writeString(digest.c_str());
    return out->getError();
}

int FtIndexRecord::read(MessageBase* in, bool withDigest, bool* end) {
    return readAs(in, withDigest, true, end);
}

int FtIndexRecord::readStored(MessageBase* in, bool* end) {
    return readAs(in, true, false, end);
}

int FtIndexRecord::readAs(MessageBase* in, bool withDigest, bool wire, bool* end) {
    *end = false;
    int rc = in->readInt32(&type);
    if (rc != 0) return rc;
    if (type == FT_END_OF_LIST) {
        *end = true;
        return 0;
    }
    if (type < FT_TYPE_DIRECTORY || type > FT_TYPE_LINK || (!wire && type == FT_TYPE_OTHER)) return -1;
    if ((rc = readStr(in, &name)) != 0) return rc;
    if (wire && type == FT_TYPE_ERROR) return readStr(in, &reason);
    if ((rc = in->readInt64(&size)) != 0 || (rc = in->readInt64(&mtimeMs)) != 0) return rc;
    if (type == FT_TYPE_LINK) return readStr(in, &target);
    if (type == FT_TYPE_FILE && withDigest) return readStr(in, &digest);
    return 0;
}
