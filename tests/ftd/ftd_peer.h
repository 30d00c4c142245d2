// Shared by the receiving service's tests: a service on an OS-chosen
// loopback port over a scratch root, and a sender driven by hand, one
// command at a time, so that tests can say exactly what reaches the service
// (including what a well-behaved sender never sends).
#ifndef DRV_TESTS_FTD_FTD_PEER_H
#define DRV_TESTS_FTD_FTD_PEER_H

#include <dirent.h>
#include <fcntl.h>
#include <openssl/md5.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/dravika_init.h"
#include "coms/stream_connection.h"
#include "coms/stream_message.h"
#include "ft/ft_checksum.h"
#include "ft/ft_entry.h"
#include "ft/ft_protocol.h"
#include "ft/ft_sync.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"
#include "tools/ftd/ftd_server.h"

namespace ftdtest {

// A service over a root inside a scratch folder; "outside" is a sibling
// folder that nothing may ever write to.
struct Service {
    TempDir scratch;
    std::string root;
    std::string outside;
    std::unique_ptr<FtdServer> server;
    int idleMs;

    // idle: the service's idle time-out in ms (0: its default).
    explicit Service(int idle = 0) : idleMs(idle) {
        dravika_init();
        root = scratch.file("root");
        outside = scratch.file("outside");
        mkdir(root.c_str(), 0755);
        mkdir(outside.c_str(), 0755);
        restart();
    }
    void restart() {
        server.reset();
        server.reset(new FtdServer(root.c_str(), nullptr, nullptr));
        if (idleMs > 0) server->setIdleTimeout(idleMs);
        EXPECT_EQ(0, server->start("0", "127.0.0.1"));
    }
    std::string port() const { return std::to_string(server->getPort()); }
    std::string path(const std::string& rel) const { return root + "/" + rel; }
    // Where the previous versions of rel are kept.
    std::string fallback(const std::string& rel) const { return path(std::string(FtdFallbacks::folder()) + "/" + rel); }
};

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline long long mtimeMs(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

inline int modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

inline std::string linkTarget(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf));
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

using ::waitFor;

// Every name below dir, relative, found by a plain walk.
inline void walk(const std::string& dir, const std::string& rel, std::vector<std::string>* out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string r = rel.empty() ? n : rel + "/" + n;
        out->push_back(r);
        if (e->d_type == DT_DIR) walk(dir + "/" + n, r, out);
    }
    closedir(d);
}

inline bool noTemporaryFiles(const std::string& root) {
    std::vector<std::string> names;
    walk(root, "", &names);
    for (const std::string& n : names)
        if (n.find(".drvftd/tmp/") != std::string::npos) return false;
    return true;
}

inline std::string md5Hex(const std::string& data) {
    unsigned char d[16];
    MD5(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d);
    char out[33];
    for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", d[i]);
    return out;
}

// One zlib stream of data, cut into blocks of at most blockSize bytes.
inline std::vector<std::string> deflateBlocks(const std::string& data, int level, size_t blockSize = 50000) {
    uLongf n = compressBound(data.size());
    std::string z(n, '\0');
    compress2(reinterpret_cast<Bytef*>(&z[0]), &n, reinterpret_cast<const Bytef*>(data.data()), data.size(), level);
    z.resize(n);
    std::vector<std::string> blocks;
    for (size_t i = 0; i < z.size(); i += blockSize) blocks.push_back(z.substr(i, blockSize));
    return blocks;
}

// The opening of a session over protocol 1, for tests that hand the
// service a whole request at once.
inline void writeOpening(MessageBase* in) {
    in->writeInt32(FT_PROTOCOL_1);
    in->writeString("tester");
    in->writeString("tester");
}

// A reply as read back: its code and the texts and numbers it carried.
struct Reply {
    int32_t code = -1;
    std::vector<std::string> texts;
    std::vector<long long> numbers;
};

class Sender {
public:
    explicit Sender(const std::string& port, int protocol = FT_PROTOCOL_1)
        : _conn("127.0.0.1", port.c_str(), nullptr, nullptr, FT_CONNECT_VALUE), _protocol(protocol) {
        connected = _conn.connect() == 0;
        out = _conn.getOutMessage();
        in = _conn.getInMessage();
    }
    // Opens the session; false when the connection could not be made.
    bool opening() {
        if (_protocol == FT_PROTOCOL_1) {
            writeOpening(out);
            return connected;
        }
        // Protocol 2: the principal and the endpoint as encoded objects
        // (empty ones: the service does not look inside).
        const unsigned char principal[] = {9, 0, 0, 0, 97, 10};
        const unsigned char endpoint[] = {9, 0, 0, 0x0f, 0xa1, 10};
        out->writeInt32(FT_PROTOCOL_2);
        out->writeOpaqueObject(principal, sizeof(principal));
        out->writeInt32(1);
        out->writeOpaqueObject(endpoint, sizeof(endpoint));
        return connected;
    }
    void cmd(int32_t code) { ftWriteCommand(out, _protocol, code); }
    void plain(int32_t code) { ftWritePlain(out, code); }
    void start(const std::string& dest, const std::string& base = "src", bool second = false) {
        cmd(second ? FT_RECV_START2 : FT_RECV_START);
        out->writeString(dest.c_str());
        out->writeBool(true);
        out->writeString(base.c_str());
        out->writeString("");
    }
    void header(const std::string& name, int type, int body, long long size, int mode = 0644,
                long long mtimeMs = 1500000000123LL) {
        FtEntryHeader h;
        h.name = name;
        h.type = type;
        h.body = body;
        h.size = size;
        h.mode = mode;
        h.mtimeMs = mtimeMs;
        h.owner = "nobody";
        h.group = "nogroup";
        h.write(out);
    }
    void blocks(const std::string& content, int level = 1) {
        for (const std::string& b : deflateBlocks(content, level)) out->writeBytes(b.data(), b.size());
        out->writeBytes("", 0);
    }
    void data(const std::string& content, int32_t status = FT_DATA_OK, int level = 1) {
        blocks(content, level);
        out->writeInt32(status);
    }
    // A whole file entry.
    void file(const std::string& name, const std::string& content, int mode = 0644,
              long long mtimeMs = 1500000000123LL) {
        header(name, FT_TYPE_FILE, FT_BODY_WHOLE, static_cast<long long>(content.size()), mode, mtimeMs);
        data(content);
    }
    void link(const std::string& name, const std::string& target) {
        header(name, FT_TYPE_LINK, FT_BODY_NONE, static_cast<long long>(target.size()));
        out->writeBool(true);
        out->writeString(target.c_str());
    }
    void keepFallbacks(int count, int ageDays = 30) {
        cmd(FT_KEEP_FALLBACKS);
        out->writeString("nightly job");
        out->writeString("keep");
        out->writeInt32(count);
        out->writeInt32(ageDays);
    }
    void remove(const std::string& path) {
        cmd(FT_REMOVE);
        out->writeString(path.c_str());
    }
    void findMd5(long long offset, int length) {
        plain(FT_SYNC_FIND_MD5);
        out->writeInt64(offset);
        out->writeInt32(length);
    }
    void rollingStart(int blockSize, uint32_t seed) {
        plain(FT_SYNC_ROLLING_START);
        out->writeInt64(0);
        out->writeInt64(-1);
        out->writeInt32(blockSize);
        out->writeInt32(static_cast<int32_t>(seed));
    }
    void copyBlocks(int first, int count) {
        plain(FT_SYNC_COPY_BLOCKS);
        out->writeInt32(first);
        out->writeInt32(count);
    }
    void syncWrite(long long offset, const std::string& literal) {
        plain(FT_SYNC_WRITE);
        out->writeInt64(offset);
        out->writeInt64(static_cast<long long>(literal.size()));
        blocks(literal);
    }
    void newDigest(const void* digest, size_t n) {
        plain(FT_SYNC_NEW_DIGEST);
        out->writeBytes(digest, static_cast<uint32_t>(n));
    }
    // Ends a block exchange: the rebuilt file is complete, or (with whole)
    // the file follows whole.
    void syncEnd(const std::string* whole = nullptr) {
        plain(FT_SYNC_END);
        out->writeBool(whole != nullptr);
        if (whole != nullptr) data(*whole);
        else out->writeInt32(FT_DATA_OK);
    }
    // Ends the session politely and waits for the service's acknowledgement.
    bool quit() {
        cmd(FT_QUIT);
        Reply r = skipTo(FT_QUIT_ACK);
        plain(FT_QUIT_ACK);
        return r.code == FT_QUIT_ACK;
    }

    // Reads one reply with its payload.
    Reply reply() {
        Reply r;
        if (ftReadReply(in, &r.code) != 0) {
            r.code = -1;
            return r;
        }
        auto text = [&] {
            char* s = nullptr;
            in->readString(&s);
            r.texts.push_back(s != nullptr ? s : "");
            free(s);
        };
        auto i64 = [&] {
            int64_t v = 0;
            in->readInt64(&v);
            r.numbers.push_back(v);
        };
        auto i32 = [&] {
            int32_t v = 0;
            in->readInt32(&v);
            r.numbers.push_back(v);
        };
        switch (r.code) {
        case FT_ERROR:
            for (int i = 0; i < 4; i++) text();
            i32();
            text();
            break;
        case FT_UPDATE:
            for (int i = 0; i < 3; i++) text();
            for (int i = 0; i < 3; i++) i64();
            break;
        case FT_ACK_COMPLETE:
            i64();
            break;
        case FT_SYNC_FIND_MD5_REPLY:
            i32();
            text();
            break;
        case FT_SYNC_SIGNATURES: {
            // numbers: size, count, strong length, then the weak sums;
            // texts: the digests' bytes that were sent, in hex.
            long long size = 0;
            int count = 0;
            int strongLen = 0;
            std::vector<FtBlockSignature> sigs;
            if (ft_readSignatures(in, 1 << 22, &size, &count, &strongLen, &sigs) != 0) {
                r.code = -1;
                break;
            }
            r.numbers = {size, count, strongLen};
            for (const FtBlockSignature& s : sigs) {
                r.numbers.push_back(s.weak);
                char hex[33];
                md5_digestToString(s.digest, hex);
                r.texts.push_back(std::string(hex, static_cast<size_t>(2 * strongLen)));
            }
            break;
        }
        case FT_CHECKSUM_LIST:
            for (;;) {
                text();
                if (r.texts.back().empty()) break;
                text();
            }
            break;
        default:
            break;
        }
        return r;
    }
    // Reads replies until one with the code (FT_UPDATE progress and others
    // are passed over; FT_ERRORs seen on the way are kept in errors).
    Reply skipTo(int32_t code) {
        for (;;) {
            Reply r = reply();
            if (r.code == FT_ERROR) errors.push_back(r);
            if (r.code == code || r.code == -1) return r;
        }
    }
    // Index records after FT_INDEX_MARK(_MD5).
    std::vector<FtIndexRecord> index(const std::string& dest, bool md5) {
        cmd(md5 ? FT_INDEX_START_MD5 : FT_INDEX_START);
        out->writeString(dest.c_str());
        std::vector<FtIndexRecord> records;
        Reply mark = skipTo(md5 ? FT_INDEX_MARK_MD5 : FT_INDEX_MARK);
        if (mark.code == -1) return records;
        for (;;) {
            FtIndexRecord r;
            bool end = false;
            if (r.read(in, md5, &end) != 0 || end) break;
            records.push_back(r);
        }
        return records;
    }
    // Sends FT_TRANSACTION_SYNC and waits for the echo: every earlier
    // command has been handled once it arrives.
    bool sync() {
        cmd(FT_TRANSACTION_SYNC);
        return skipTo(FT_TRANSACTION_SYNC).code == FT_TRANSACTION_SYNC;
    }
    // Ends the file list and waits until the service has handled it.
    bool endFiles() {
        plain(FT_END_OF_FILES);
        return sync();
    }

    StreamConnection& connection() { return _conn; }
    bool connected = false;
    MessageBase* out;
    MessageBase* in;
    std::vector<Reply> errors;

private:
    StreamConnection _conn;
    int _protocol;
};

}  // namespace ftdtest

#endif
