// The credential child protocol's encoders and decoders.
#include "creds/creds_protocol.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

bool credsIsOperation(int operation) {
    switch (operation) {
#define DRV_CREDS_OP_CASE(code, name) case code:
        DRV_CREDS_OPERATIONS(DRV_CREDS_OP_CASE)
#undef DRV_CREDS_OP_CASE
        return true;
    default:
        return false;
    }
}

bool CredsFdSource::readable() {
    if (_writerEnd < 0) return true;
    for (;;) {
        struct pollfd fds[2] = {{_fd, POLLIN, 0}, {_writerEnd, POLLIN, 0}};
        int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return true;  // a plain read still ends when the descriptor does
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return true;
        if (fds[1].revents == 0) continue;
        // The writer has ended: only what is in the descriptor now counts.
        struct pollfd data = {_fd, POLLIN, 0};
        while ((n = poll(&data, 1, 0)) < 0 && errno == EINTR) {
        }
        return n > 0 && (data.revents & POLLIN) != 0;
    }
}

bool CredsFdSource::read(void* out, size_t n) {
    char* p = static_cast<char*>(out);
    while (n > 0) {
        if (!readable()) return false;
        ssize_t got = ::read(_fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool CredsMemorySource::read(void* out, size_t n) {
    if (n > _left) return false;
    if (n > 0) memcpy(out, _data, n);
    _data += n;
    _left -= n;
    return true;
}

bool credsWriteAll(int fd, const void* buffer, size_t length) {
    // A child that died before reading its request would raise SIGPIPE, whose
    // default action ends the process; the signal is held back for this thread
    // and a pending one taken away, so the write just fails with EPIPE.
    sigset_t pipeOnly, old;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
    const char* p = static_cast<const char*>(buffer);
    bool ok = true;
    bool brokenPipe = false;
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            brokenPipe = n < 0 && errno == EPIPE;
            ok = false;
            break;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    if (brokenPipe && !sigismember(&old, SIGPIPE)) {
        struct timespec none = {0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &none) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

namespace {

void putWord(std::string& out, int32_t word) { out.append(reinterpret_cast<const char*>(&word), sizeof(word)); }

void putText(std::string& out, const std::string& text) {
    putWord(out, static_cast<int32_t>(text.size()));
    out += text;
}

bool getWord(CredsSource& in, int32_t& word) { return in.read(&word, sizeof(word)); }

// A length word and the text; false on a short read or a length beyond the bound.
bool getText(CredsSource& in, std::string& text) {
    int32_t length;
    if (!getWord(in, length)) return false;
    if (length < 0 || static_cast<uint32_t>(length) > kCredsMaxText) return false;
    text.resize(static_cast<size_t>(length));
    return length == 0 || in.read(&text[0], text.size());
}

int decodeUserRecord(CredsSource& in, CredsUser& user) {
    int32_t uid, gid;
    if (!getWord(in, uid) || !getWord(in, gid)) return 2;
    user.uid = static_cast<uid_t>(uid);
    user.gid = static_cast<gid_t>(gid);
    if (!getText(in, user.name) || !getText(in, user.home)) return 3;
    int32_t count;
    if (!getWord(in, count)) return 4;
    if (count < 0 || static_cast<uint32_t>(count) > kCredsMaxGroups) return 10;
    user.groups.resize(static_cast<size_t>(count));
    for (gid_t& g : user.groups) {
        int32_t word;
        if (!getWord(in, word)) return 4;
        g = static_cast<gid_t>(word);
    }
    return 0;
}

int decodeGroup(CredsSource& in, CredsGroup& group) {
    int32_t gid;
    if (!getWord(in, gid)) return 5;
    group.gid = static_cast<gid_t>(gid);
    return getText(in, group.name) ? 0 : 5;
}

// Items until the end byte. The marker byte is 1 before an item, 0 at the end.
int decodeItems(int operation, CredsSource& in, CredsAnswer& answer) {
    // The answer's bytes so far, as sent: the marker, the id words, the
    // name's length word and the name.
    size_t bytes = 0;
    for (;;) {
        unsigned char marker;
        if (!in.read(&marker, 1)) return 6;
        if (marker == 0) return 0;
        if (marker != 1) return 6;
        if (answer.groups.size() + answer.users.size() >= kCredsMaxItems) return 10;
        std::string* name;
        if (operation == CREDS_OP_ALL_GROUPS) {
            CredsGroup g;
            if (decodeGroup(in, g) != 0) return 7;
            answer.groups.push_back(std::move(g));
            name = &answer.groups.back().name;
            bytes += 1 + 2 * sizeof(int32_t);
        } else {
            CredsUser u;
            int32_t uid, gid;
            if (!getWord(in, uid) || !getWord(in, gid)) return 7;
            u.uid = static_cast<uid_t>(uid);
            u.gid = static_cast<gid_t>(gid);
            if (!getText(in, u.name)) return 7;
            answer.users.push_back(std::move(u));
            name = &answer.users.back().name;
            bytes += 1 + 3 * sizeof(int32_t);
        }
        bytes += name->size();
        if (bytes > kCredsMaxEnumerationBytes) return 10;
    }
}

}  // namespace

bool encodeCredsRequest(const CredsRequest& r, std::string& out) {
    if (!credsIsOperation(r.operation)) return false;
    if (r.name.size() > kCredsMaxText || r.password.size() > kCredsMaxText || r.service.size() > kCredsMaxText)
        return false;
    putWord(out, r.operation);
    switch (r.operation) {
    case CREDS_OP_LOGIN:
        putText(out, r.name);
        putText(out, r.password);
        putText(out, r.service);
        putWord(out, r.accessOnly ? 1 : 0);
        break;
    case CREDS_OP_USER_BY_ID:
    case CREDS_OP_GROUP_BY_ID:
        putWord(out, r.id);
        break;
    case CREDS_OP_USER_BY_NAME:
    case CREDS_OP_GROUP_BY_NAME:
    case CREDS_OP_HOST_BY_NAME:
        putText(out, r.name);
        break;
    default:  // the enumerations send the code alone
        break;
    }
    return true;
}

int decodeCredsAnswer(int operation, CredsSource& in, CredsAnswer& answer) {
    if (!credsIsOperation(operation)) return 9;
    if (operation == CREDS_OP_ALL_GROUPS || operation == CREDS_OP_ALL_USERS) {
        answer.status = CREDS_STATUS_OK;
        return decodeItems(operation, in, answer);
    }
    if (!getWord(in, answer.status)) return 1;
    // Any failure status ends the answer: the entry is then cached as
    // missing (1) or failed (anything else).
    if (answer.status != CREDS_STATUS_OK) return 0;
    switch (operation) {
    case CREDS_OP_GROUP_BY_ID:
    case CREDS_OP_GROUP_BY_NAME:
        return decodeGroup(in, answer.group);
    case CREDS_OP_HOST_BY_NAME:
        return in.read(&answer.address, sizeof(answer.address)) ? 0 : 8;
    default:
        return decodeUserRecord(in, answer.user);
    }
}

bool readCredsRequest(CredsSource& in, CredsRequest& r) {
    int32_t op;
    if (!getWord(in, op)) return false;
    r.operation = op;
    switch (op) {
    case CREDS_OP_LOGIN: {
        int32_t access;
        if (!getText(in, r.name) || !getText(in, r.password) || !getText(in, r.service) || !getWord(in, access))
            return false;
        r.accessOnly = access != 0;
        return true;
    }
    case CREDS_OP_USER_BY_ID:
    case CREDS_OP_GROUP_BY_ID:
        return getWord(in, r.id);
    case CREDS_OP_USER_BY_NAME:
    case CREDS_OP_GROUP_BY_NAME:
    case CREDS_OP_HOST_BY_NAME:
        return getText(in, r.name);
    default:
        // The enumerations carry nothing more; an unknown code is served as
        // a failure by the child.
        return true;
    }
}

void encodeCredsStatus(int32_t status, std::string& out) { putWord(out, status); }

void encodeCredsUserRecord(const CredsUser& u, std::string& out) {
    putWord(out, CREDS_STATUS_OK);
    putWord(out, static_cast<int32_t>(u.uid));
    putWord(out, static_cast<int32_t>(u.gid));
    putText(out, u.name);
    putText(out, u.home);
    putWord(out, static_cast<int32_t>(u.groups.size()));
    for (gid_t g : u.groups) putWord(out, static_cast<int32_t>(g));
}

void encodeCredsGroupAnswer(const CredsGroup& g, std::string& out) {
    putWord(out, CREDS_STATUS_OK);
    putWord(out, static_cast<int32_t>(g.gid));
    putText(out, g.name);
}

void encodeCredsGroupItem(const CredsGroup& g, std::string& out) {
    out += '\1';
    putWord(out, static_cast<int32_t>(g.gid));
    putText(out, g.name);
}

void encodeCredsUserItem(const CredsUser& u, std::string& out) {
    out += '\1';
    putWord(out, static_cast<int32_t>(u.uid));
    putWord(out, static_cast<int32_t>(u.gid));
    putText(out, u.name);
}

void encodeCredsEnd(std::string& out) { out += '\0'; }

void encodeCredsHostAnswer(bool found, uint32_t address, std::string& out) {
    if (!found) {
        putWord(out, CREDS_STATUS_NO_ENTRY);
        return;
    }
    putWord(out, CREDS_STATUS_OK);
    out.append(reinterpret_cast<const char*>(&address), sizeof(address));
}

void encodeCredsAnswer(int operation, const CredsAnswer& a, std::string& out) {
    switch (operation) {
    case CREDS_OP_ALL_GROUPS:
        for (const CredsGroup& g : a.groups) encodeCredsGroupItem(g, out);
        encodeCredsEnd(out);
        return;
    case CREDS_OP_ALL_USERS:
        for (const CredsUser& u : a.users) encodeCredsUserItem(u, out);
        encodeCredsEnd(out);
        return;
    default:
        break;
    }
    if (a.status != CREDS_STATUS_OK) {
        encodeCredsStatus(a.status, out);
    } else if (operation == CREDS_OP_GROUP_BY_ID || operation == CREDS_OP_GROUP_BY_NAME) {
        encodeCredsGroupAnswer(a.group, out);
    } else if (operation == CREDS_OP_HOST_BY_NAME) {
        encodeCredsHostAnswer(true, a.address, out);
    } else {
        encodeCredsUserRecord(a.user, out);
    }
}
