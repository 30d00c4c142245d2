// A scripted receiving peer for the sender's tests: it reads what the
// sender writes over one end of a socket pair, checks it against the
// protocol's layouts, rebuilds the destination tree in memory, and answers
// as a receiving service would. Everything it keeps is for the test to
// inspect after the session.
#ifndef DRV_TESTS_FT_FT_TEST_PEER_H
#define DRV_TESTS_FT_FT_TEST_PEER_H

#include <openssl/md5.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dirbase/message.h"
#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
#include "ft/ft_entry.h"
#include "ft/ft_filesum.h"
#include "ft/ft_protocol.h"
#include "ft/ft_sync.h"

// A message over a file descriptor: writes go out at once, reads fetch
// more bytes when the buffers run dry.
class FdMessage : public MessageBase {
public:
    FdMessage(int fd, int mode) : MessageBase(mode), _fd(fd) {}
    int appendBytes(const void* data, size_t n) override {
        if (_error != 0) return _error;
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            ssize_t put = ::send(_fd, p, n, MSG_NOSIGNAL);
            if (put <= 0) return setError(MSG_E_WRITE_SHORT);
            p += put;
            n -= static_cast<size_t>(put);
        }
        return 0;
    }
    size_t readLocBytes(_BufferLocation* loc, void* dest, size_t n) override {
        unsigned char* out = static_cast<unsigned char*>(dest);
        size_t done = MessageBase::readLocBytes(loc, out, n);
        while (done < n && fetch()) done += MessageBase::readLocBytes(loc, out != nullptr ? out + done : nullptr, n - done);
        return done;
    }

private:
    bool fetch() {
        _Buffer* last = _last;
        if (last == nullptr || last->capacity - last->used < 65) last = grow(16384);
        ssize_t got = ::read(_fd, last->data + last->used, last->capacity - last->used);
        if (got <= 0) return false;
        last->used += static_cast<size_t>(got);
        return true;
    }
    int _fd;
};

struct PeerNode {
    int type = FT_TYPE_FILE;
    std::string content;
    std::string target;
    int mode = 0;
    long long mtimeMs = 0;
};

class TestPeer {
public:
    // Fails the first file entry with FT_ERROR when set.
    bool failFirstFile = false;
    // Refuses the first file too, but only once the sender marks the
    // session complete, as a peer that installs at the end would.
    bool failFirstFileLate = false;
    // Closes the connection on the first file entry when set.
    bool dropOnFirstFile = false;
    // A confused peer: answers FT_QUIT_ACK before anything was asked, then
    // takes the session as usual but no longer waits for the sender's
    // answer to its quit acknowledgement.
    bool quitAckFirst = false;
    // Closes the connection on FT_QUIT without acknowledging it.
    bool noQuitAck = false;
    // A hostile peer: from the n-th checksum request on (0: never), each
    // answer is followed by a second, unasked list of wrong digests for the
    // same names and more.
    int bogusChecksumListsFrom = 0;
    // Index records sent after the tree's own, as a broken or hostile peer
    // might list them (duplicates, odd sizes and times).
    std::vector<FtIndexRecord> extraIndex;
    // A confused peer: after the index asked for, sends it this many times
    // more, unasked, a few milliseconds apart.
    int repeatIndex = 0;
    // A stalled peer: takes this command (FT_TRANSACTION_SYNC, an index
    // request, or a partial update's FT_SYNC_FIND_MD5 or
    // FT_SYNC_ROLLING_START) without answering it, notes that in stalled,
    // and goes on with the session as usual.
    int stallOn = 0;
    std::atomic<bool> stalled{false};
    // Answers the append check's digest request with FT_ERROR instead.
    bool errorOnFindMd5 = false;
    // Sent as the destination's size in block signatures when not -1.
    long long signatureSize = -1;
    // Answers the append check's digest request for this name with block
    // signatures (the other partial update's reply) instead.
    std::string wrongReplyFor;

    std::map<std::string, PeerNode> files;  // the destination tree, by relative name
    std::vector<int> commands;              // every command outside file lists, in order
    std::vector<int> entryCodes;            // every code inside file lists
    std::vector<std::string> removed;       // FT_REMOVE paths
    std::vector<std::string> problems;      // protocol violations seen
    bool sawCmdTag = false;                 // some command came with tag 16
    long long literalBytes = 0;             // bytes sent as literals in sync exchanges
    long long wholeBytes = 0;               // bytes sent as whole files
    int copiedBlocks = 0;
    double bandwidth = 0;

    TestPeer() {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        _peerFd = sv[0];
        _senderFd = sv[1];
        _in = new FdMessage(_peerFd, MessageBase::MODE_READ);
        _out = new FdMessage(_peerFd, MessageBase::MODE_WRITE);
        senderIn = new FdMessage(_senderFd, MessageBase::MODE_READ);
        senderOut = new FdMessage(_senderFd, MessageBase::MODE_WRITE);
    }
    ~TestPeer() {
        join();
        delete _in;
        delete _out;
        delete senderIn;
        delete senderOut;
        if (_peerFd >= 0) close(_peerFd);
        close(_senderFd);
    }
    void start() {
        // The sender's read side sees the end whenever the peer stops,
        // whatever made it stop.
        _thread = std::thread([this] {
            run();
            shutdown(_peerFd, SHUT_RDWR);
        });
    }
    void join() {
        if (_thread.joinable()) _thread.join();
    }
    // Ends the connection from the peer's side, whatever it was doing.
    void hangUp() { shutdown(_peerFd, SHUT_RDWR); }

    // The destination holds name with content and time before the session.
    void has(const std::string& name, const std::string& content, long long mtimeMs = 0) {
        files[name].content = content;
        files[name].mtimeMs = mtimeMs;
    }
    int count(int command) const { return static_cast<int>(std::count(commands.begin(), commands.end(), command)); }

    MessageBase* senderIn;
    MessageBase* senderOut;

private:
    static std::string md5Hex(const std::string& data) {
        unsigned char d[16];
        MD5(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d);
        char text[33];
        md5_digestToString(d, text);
        return text;
    }
    std::string str() {
        char* s = nullptr;
        _in->readString(&s);
        std::string v = s != nullptr ? s : "";
        free(s);
        return v;
    }
    void reply(int code) { _out->writeInt32(code); }
    // FT_ERROR for a file the destination cannot take.
    void refuse(const std::string& name) {
        reply(FT_ERROR);
        _out->writeString(name.c_str());
        _out->writeString("dest");
        _out->writeString("");
        _out->writeString("Disk full");
        _out->writeInt32(28);
        _out->writeString("");
    }
    bool command(int32_t* code) {
        if (_in->getError() != 0) return false;
        int rc = _in->readCmd(code);
        if (rc == 0) {
            sawCmdTag = true;
            return true;
        }
        _in->recover();
        return _in->readInt32(code) == 0;
    }
    // Byte blocks of one zlib stream up to the empty block.
    bool readInflated(std::string* data) {
        z_stream zs;
        memset(&zs, 0, sizeof zs);
        inflateInit(&zs);
        for (;;) {
            unsigned char* block = nullptr;
            uint32_t len = 0;
            if (_in->readBytes(&block, &len) != 0) {
                inflateEnd(&zs);
                return false;
            }
            if (len == 0) {
                free(block);
                break;
            }
            zs.next_in = block;
            zs.avail_in = len;
            unsigned char buf[65536];
            while (zs.avail_in > 0) {
                zs.next_out = buf;
                zs.avail_out = sizeof buf;
                int rc = inflate(&zs, Z_NO_FLUSH);
                data->append(reinterpret_cast<char*>(buf), sizeof buf - zs.avail_out);
                if (rc == Z_STREAM_END) break;
                if (rc != Z_OK && rc != Z_BUF_ERROR) {
                    problems.push_back("inflate failed");
                    break;
                }
            }
            free(block);
        }
        inflateEnd(&zs);
        return true;
    }
    bool readData(std::string* data) {
        bool ok = readInflated(data);
        int32_t status = -1;
        _in->readInt32(&status);
        wholeBytes += static_cast<long long>(data->size());
        return ok && status == FT_DATA_OK;
    }
    void fileList() {
        bool first = true;
        for (;;) {
            int32_t code = 0;
            if (_in->readInt32(&code) != 0) {
                problems.push_back("file list: no code");
                return;
            }
            entryCodes.push_back(code);
            if (code == FT_END_OF_FILES) return;
            if (code == FT_RECV_PART3) {
                int32_t one = 0;
                _in->readInt32(&one);
                continue;
            }
            FtEntryHeader h;
            if (h.readAfterCode(_in, code) != 0) {
                problems.push_back("bad entry header, code " + std::to_string(code));
                return;
            }
            if (h.type == FT_TYPE_FILE && first && dropOnFirstFile) {
                shutdown(_peerFd, SHUT_RDWR);
                return;
            }
            if (h.type == FT_TYPE_FILE && first && failFirstFile) {
                refuse(h.name);
            }
            if (h.type == FT_TYPE_FILE && first) _firstFile = h.name;
            if (h.type == FT_TYPE_FILE) first = false;
            PeerNode node;
            node.type = h.type;
            node.mode = h.mode;
            node.mtimeMs = h.mtimeMs;
            if (h.type == FT_TYPE_LINK) {
                bool keep = false;
                _in->readBool(&keep);
                node.target = str();
                if (keep) files[h.name] = node;
                continue;
            }
            if (h.type == FT_TYPE_DIRECTORY) {
                files[h.name] = node;
                continue;
            }
            bool install = false;
            if (h.body == FT_BODY_WHOLE) {
                install = readData(&node.content);
            } else if (h.body == FT_BODY_SYNC) {
                install = syncExchange(h, &node.content);
            } else {
                problems.push_back("file without a body");
            }
            if (install) files[h.name] = node;
        }
    }
    bool syncExchange(const FtEntryHeader& h, std::string* content) {
        const std::string old = files.count(h.name) != 0 ? files[h.name].content : std::string();
        int bs = 0;
        for (;;) {
            int32_t code = -1;
            if (_in->readInt32(&code) != 0) return false;
            if (code == FT_SYNC_FIND_MD5) {
                int64_t off = 0;
                int32_t len = 0;
                _in->readInt64(&off);
                _in->readInt32(&len);
                if (stallOn == code) {
                    stalled = true;
                    continue;
                }
                if (errorOnFindMd5) {
                    reply(FT_ERROR);
                    for (const char* s : {h.name.c_str(), "dest", "", "Cannot read old copy"}) _out->writeString(s);
                    _out->writeInt32(5);
                    _out->writeString("");
                    return false;
                }
                *content = old;
                if (h.name == wrongReplyFor) {
                    reply(FT_SYNC_SIGNATURES);
                    ft_writeSignatures(_out, static_cast<long long>(old.size()), -1, 0, nullptr);
                    continue;
                }
                reply(FT_SYNC_FIND_MD5_REPLY);
                _out->writeInt32(0);
                _out->writeString(md5Hex(old.substr(static_cast<size_t>(off), static_cast<size_t>(len))).c_str());
            } else if (code == FT_SYNC_ROLLING_START) {
                int64_t zero = 1, minusOne = 0;
                int32_t seed = 0;
                _in->readInt64(&zero);
                _in->readInt64(&minusOne);
                _in->readInt32(&bs);
                _in->readInt32(&seed);
                if (zero != 0 || minusOne != -1) problems.push_back("bad rolling start");
                if (stallOn == code) {
                    stalled = true;
                    continue;
                }
                MemoryFile f(old.data(), old.size());
                std::vector<FtBlockSignature> sigs;
                int strongLen = ft_strongLength(static_cast<long long>(old.size()), bs);
                ft_computeSignatures(&f, static_cast<long long>(old.size()), bs, static_cast<uint32_t>(seed), &sigs,
                                     strongLen);
                reply(FT_SYNC_SIGNATURES);
                ft_writeSignatures(_out, signatureSize != -1 ? signatureSize : static_cast<long long>(old.size()),
                                   static_cast<int>(sigs.size()), strongLen,
                                   sigs.data());
                content->clear();
            } else if (code == FT_SYNC_COPY_BLOCKS) {
                int32_t first = 0, count = 0;
                _in->readInt32(&first);
                _in->readInt32(&count);
                copiedBlocks += count;
                content->append(old.substr(static_cast<size_t>(first) * static_cast<size_t>(bs),
                                           static_cast<size_t>(count) * static_cast<size_t>(bs)));
            } else if (code == FT_SYNC_WRITE) {
                int64_t off = 0, len = 0;
                _in->readInt64(&off);
                _in->readInt64(&len);
                std::string data;
                readInflated(&data);
                if (static_cast<int64_t>(data.size()) != len) problems.push_back("literal length differs");
                if (off != static_cast<int64_t>(content->size())) problems.push_back("literal offset out of order");
                literalBytes += len;
                content->append(data);
            } else if (code == FT_SYNC_NEW_DIGEST) {
                unsigned char* d = nullptr;
                uint32_t len = 0;
                _in->readBytes(&d, &len);
                unsigned char mine[1 + FtFileSum::kLength] = {FT_SUM_FILESUM};
                FtFileSum sum;
                sum.update(content->data(), content->size());
                sum.final(mine + 1);
                if (len != sizeof mine || memcmp(d, mine, len) != 0) problems.push_back("new file digest differs");
                free(d);
            } else if (code == FT_SYNC_END) {
                bool whole = false;
                _in->readBool(&whole);
                if (whole) {
                    content->clear();
                    return readData(content);
                }
                int32_t status = -1;
                _in->readInt32(&status);
                return status == FT_DATA_OK;
            } else {
                problems.push_back("unknown sync code " + std::to_string(code));
                return false;
            }
        }
    }
    // Wrong digests for the names (and one more), in one unasked checksum
    // list.
    void bogusList(const std::vector<std::string>& names) {
        reply(FT_CHECKSUM_LIST);
        for (const std::string& name : names) {
            _out->writeString(name.c_str());
            _out->writeString("00000000000000000000000000000000");
        }
        _out->writeString("unasked0");
        _out->writeString("00000000000000000000000000000000");
        _out->writeString("");
    }
    void sendIndex(bool md5) {
        reply(md5 ? FT_INDEX_MARK_MD5 : FT_INDEX_MARK);
        for (const auto& kv : files) {
            FtIndexRecord r;
            r.type = kv.second.type;
            r.name = kv.first;
            r.size = static_cast<int64_t>(kv.second.content.size());
            r.mtimeMs = kv.second.mtimeMs;
            r.target = kv.second.target;
            r.digest = md5Hex(kv.second.content);
            r.write(_out, md5);
        }
        for (const FtIndexRecord& r : extraIndex) r.write(_out, md5);
        _out->writeInt32(FT_END_OF_LIST);
    }
    void run() {
        if (quitAckFirst) reply(FT_QUIT_ACK);
        for (;;) {
            int32_t code = 0;
            if (!command(&code)) return;
            commands.push_back(code);
            switch (code) {
                case FT_SET_BANDWIDTH: _in->readDouble(&bandwidth); break;
                case FT_INDEX_START:
                case FT_INDEX_START_MD5:
                    str();
                    if (stallOn == code) {
                        stalled = true;
                        break;
                    }
                    sendIndex(code == FT_INDEX_START_MD5);
                    for (int i = 0; i < repeatIndex; i++) {
                        usleep(2000);
                        sendIndex(code == FT_INDEX_START_MD5);
                    }
                    break;
                case FT_CREATE_DEST: str(); break;
                case FT_KEEP_FALLBACKS: {
                    str();
                    str();
                    int32_t a, b;
                    _in->readInt32(&a);
                    _in->readInt32(&b);
                    break;
                }
                case FT_RECV_START:
                case FT_RECV_START2: {
                    str();
                    bool rec;
                    _in->readBool(&rec);
                    str();
                    str();
                    fileList();
                    if (dropOnFirstFile) return;
                    break;
                }
                case FT_REMOVE: removed.push_back(str()); break;
                case FT_TRANSACTION_SYNC:
                    if (stallOn == code) stalled = true;
                    else reply(FT_TRANSACTION_SYNC);
                    break;
                case FT_MARK_COMPLETE:
                    if (failFirstFileLate && !_firstFile.empty()) {
                        refuse(_firstFile);
                        _firstFile.clear();
                    }
                    reply(FT_ACK_COMPLETE);
                    _out->writeInt64(0);
                    break;
                case FT_CHECKSUM_REQUEST: {
                    reply(FT_CHECKSUM_LIST);
                    namesAsked.clear();
                    for (;;) {
                        std::string name = str();
                        if (name.empty()) break;
                        str();
                        namesAsked.push_back(name);
                        _out->writeString(name.c_str());
                        _out->writeString(md5Hex(files[name].content).c_str());
                    }
                    _out->writeString("");
                    checksumRequests++;
                    if (bogusChecksumListsFrom > 0 && checksumRequests >= bogusChecksumListsFrom) bogusList(namesAsked);
                    break;
                }
                case FT_QUIT: {
                    if (quitAckFirst || noQuitAck) {
                        shutdown(_peerFd, SHUT_RDWR);
                        return;
                    }
                    reply(FT_QUIT_ACK);
                    int32_t ack = 0;
                    if (!command(&ack) || ack != FT_QUIT_ACK) problems.push_back("no FT_QUIT_ACK answer");
                    shutdown(_peerFd, SHUT_RDWR);
                    return;
                }
                default: break;
            }
            if (_in->getError() != 0) {
                problems.push_back("read error after command " + std::to_string(code));
                return;
            }
        }
    }

    std::vector<std::string> namesAsked;  // by the last checksum request
    int checksumRequests = 0;
    int _peerFd;
    std::string _firstFile;  // the first file entry's name, for failFirstFileLate
    int _senderFd;
    FdMessage* _in;
    FdMessage* _out;
    std::thread _thread;
};

#endif
