#include "records/stats_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "common/log.h"
#include "common/os.h"
#include "coms/frame.h"
#include "dirbase/build_json.h"
#include "dirbase/message.h"

const char StatsFile::kMagic[] = "?dravika-perfdata\n";
size_t StatsFile::_maxBodyBytes = static_cast<size_t>(1) << 30;

static_assert(sizeof(StatsFile::kMagic) - 1 == StatsFile::kMagicLength, "magic line length");

namespace {

// zlib is fed and drained in pieces of this size.
const size_t kPiece = 4096;

// A malloc'd copy of items for a counted array field. What is read arrives
// all at once: grown by add()'s twenty at a time, a file of many small
// entries (a few bytes each, as a sender may make them) would cost the
// square of their number in copying.
template <typename T>
T** ownedArray(const std::vector<T*>& items, int* count, int* capacity) {
    *count = *capacity = static_cast<int>(items.size());
    if (items.empty()) return nullptr;
    T** out = static_cast<T**>(malloc(sizeof(T*) * items.size()));
    memcpy(out, items.data(), sizeof(T*) * items.size());
    return out;
}

}  // namespace

// ---- the row types in messages ----------------------------------------------

int writeStatDataToMessage(MessageBase* m, const StatData* d) {
    // The reader cannot tell how long a value of any other kind is, so such
    // a value would make everything written with it unreadable.
    if (d->kind != 0 && d->kind != StatData::KIND_INT64 && d->kind != StatData::KIND_DOUBLE)
        return m->setError(MSG_E_BAD_TYPE);
    m->writeInt32(d->kind);
    if (d->kind == StatData::KIND_DOUBLE) return m->writeDouble(d->value.d);
    return m->writeInt64(d->value.i);
}

StatData* readStatDataFromMessage(MessageBase* m) {
    int32_t kind = 0;
    if (m->readInt32(&kind) != 0) return nullptr;
    if (kind == StatData::KIND_DOUBLE) {
        double v = 0;
        return m->readDouble(&v) == 0 ? StatData::makeDouble(v) : nullptr;
    }
    // Kind 0 is written with a 64-bit value like kind 1, so it reads with one.
    if (kind != 0 && kind != StatData::KIND_INT64) return nullptr;
    int64_t v = 0;
    if (m->readInt64(&v) != 0) return nullptr;
    StatData* d = StatData::makeInt64(v);
    d->kind = static_cast<char>(kind);
    return d;
}

int writeStatRowToMessage(MessageBase* m, const StatRow* row) {
    m->writeInt64(row->cls);
    m->writeInt64(row->id);
    m->writeString(row->label);
    int n = row->seriesCount();
    m->writeInt32(n);
    for (int i = 0; i < n; i++) writeStatDataToMessage(m, row->series[i]);
    return m->getError();
}

StatRow* readStatRowFromMessage(MessageBase* m) {
    int64_t cls = 0, id = 0;
    char* label = nullptr;
    int32_t n = 0;
    if (m->readInt64(&cls) != 0 || m->readInt64(&id) != 0 || m->readString(&label) != 0) return nullptr;
    if (m->readInt32(&n) != 0 || n < 0) {
        free(label);
        return nullptr;
    }
    // Grown as values arrive: the count is the sender's claim.
    std::vector<StatData*> values;
    for (int32_t i = 0; i < n; i++) {
        StatData* d = readStatDataFromMessage(m);
        if (d == nullptr) {
            for (StatData* v : values) delete v;
            free(label);
            return nullptr;
        }
        values.push_back(d);
    }
    StatData** series = static_cast<StatData**>(malloc(sizeof(StatData*) * (values.size() + 1)));
    for (size_t i = 0; i < values.size(); i++) series[i] = values[i];
    series[values.size()] = nullptr;
    StatRow* row = new StatRow(cls, id, label, series);
    free(label);
    return row;
}

int writeStatEntryToMessage(MessageBase* m, const StatEntry* entry) {
    m->writeInt64(entry->time);
    m->writeInt32(entry->count);
    for (int i = 0; i < entry->count; i++) writeStatRowToMessage(m, entry->rows[i]);
    return m->getError();
}

StatEntry* readStatEntryFromMessage(MessageBase* m) {
    int64_t time = 0;
    int32_t n = 0;
    if (m->readInt64(&time) != 0 || m->readInt32(&n) != 0 || n < 0) return nullptr;
    StatEntry* entry = new StatEntry(static_cast<long>(time));
    std::vector<StatRow*> rows;
    for (int32_t i = 0; i < n; i++) {
        StatRow* row = readStatRowFromMessage(m);
        if (row == nullptr) {
            for (StatRow* r : rows) delete r;
            delete entry;
            return nullptr;
        }
        rows.push_back(row);
    }
    entry->rows = ownedArray(rows, &entry->count, &entry->capacity);
    return entry;
}

// ---- StatsFile ------------------------------------------------------------

StatsFile::StatsFile()
    : interval(kDefaultInterval), startTime(0), endTime(0), entries(nullptr), count(0), capacity(0),
      _encoded(nullptr), _encodedLength(0) {}

StatsFile::~StatsFile() {
    for (int i = 0; i < count; i++) delete entries[i];
    free(entries);
    free(_encoded);
}

void StatsFile::add(StatEntry* entry) {
    if (count == capacity) {
        capacity += 20;
        entries = static_cast<StatEntry**>(realloc(entries, sizeof(StatEntry*) * capacity));
    }
    entries[count++] = entry;
    if (startTime == 0) startTime = entry->time;
    if (entry->time > endTime) endTime = entry->time;
}

StatEntry** StatsFile::releaseEntries(int* n) {
    StatEntry** all = entries;
    *n = count;
    entries = nullptr;
    count = capacity = 0;
    return all;
}

int StatsFile::writeToMessage(MessageBase* m) const {
    m->writeInt32(interval);
    m->writeInt64(startTime);
    m->writeInt64(endTime);
    m->writeInt32(count);
    for (int i = 0; i < count; i++) writeStatEntryToMessage(m, entries[i]);
    return m->getError();
}

StatsFile* StatsFile::readFromMessage(MessageBase* m) {
    StatsFile* f = new StatsFile();
    int32_t interval = 0, n = 0;
    int64_t start = 0, end = 0;
    if (m->readInt32(&interval) != 0 || m->readInt64(&start) != 0 || m->readInt64(&end) != 0 ||
        m->readInt32(&n) != 0 || n < 0) {
        delete f;
        return nullptr;
    }
    std::vector<StatEntry*> entries;
    for (int32_t i = 0; i < n; i++) {
        StatEntry* e = readStatEntryFromMessage(m);
        if (e == nullptr) {
            for (StatEntry* x : entries) delete x;
            delete f;
            return nullptr;
        }
        entries.push_back(e);
    }
    f->entries = ownedArray(entries, &f->count, &f->capacity);
    // The header's times are the file's, whatever its entries say.
    f->interval = interval;
    f->startTime = start;
    f->endTime = end;
    return f;
}

namespace {

// The encoded file in a type-0 message whose length word counts every byte
// after the first eight, as statistics files always have.
bool encodeFile(const StatsFile* f, Message& m) {
    if (f->writeToMessage(&m) != 0) return false;
    putBE32(m.frameHeader() + 1, static_cast<uint32_t>(m.totalBytes() - 8));
    return true;
}

// Feeds the buffer form to a received message: the length and type words,
// then the body. The length word may count one byte more than the body
// (files are written that way); anything else that does not add up is
// refused. why names the fault on failure.
bool receiveBody(ReceivedMessage& m, const unsigned char* data, size_t n, bool last, const char** why) {
    // A claimed length beyond the limit is refused before anything is
    // allocated for it.
    if (m.frame().lengthBytesSeen == 0 && n >= 4 && getBE32(data) > StatsFile::_maxBodyBytes + 1) {
        *why = "body too large";
        return false;
    }
    size_t left = n;
    int rc = readFrame(&m, data, left);
    if (rc < 0) {
        *why = "bad frame header";
        return false;
    }
    if (left != 0) {
        *why = "bytes after the end of the body";
        return false;
    }
    if (frameLength(&m) > StatsFile::_maxBodyBytes + 1) {
        *why = "body too large";
        return false;
    }
    if (last) {
        size_t declared = frameLength(&m), got = frameBodyReceived(&m);
        if (m.frame().typeBytesSeen < 4 || (got != declared && got + 1 != declared) || got == 0) {
            *why = "body shorter than its length";
            return false;
        }
    }
    return true;
}

StatsFile* decodeBody(ReceivedMessage& m) {
    StatsFile* f = StatsFile::readFromMessage(&m);
    if (f != nullptr && m.readOffset() != frameBodyReceived(&m)) {
        delete f;
        return nullptr;
    }
    return f;
}

// write(2) until done; 0 or errno.
int writeAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// The errno behind a failed zlib file operation (EIO when zlib's own).
int gzErrno(gzFile gz) {
    int code = Z_OK;
    gzerror(gz, &code);
    return code == Z_ERRNO && errno != 0 ? errno : EIO;
}

}  // namespace

int StatsFile::writeToBuffer(char** buf, size_t* len) {
    *buf = nullptr;
    *len = 0;
    if (_encoded != nullptr) {
        *buf = static_cast<char*>(malloc(_encodedLength));
        memcpy(*buf, _encoded, _encodedLength);
        *len = _encodedLength;
        return 0;
    }
    Message m(0);
    if (!encodeFile(this, m)) return -1;
    size_t total;
    unsigned char* bytes = m.copyBytes(&total);
    // The frame's code byte is not part of the buffer form.
    memmove(bytes, bytes + 1, total - 1);
    *buf = reinterpret_cast<char*>(bytes);
    *len = total - 1;
    return 0;
}

StatsFile* StatsFile::readFromBuffer(const char* buf, size_t len) {
    ReceivedMessage m;
    const char* why = nullptr;
    if (!receiveBody(m, reinterpret_cast<const unsigned char*>(buf), len, true, &why)) return nullptr;
    return decodeBody(m);
}

int StatsFile::decode() {
    if (_encoded == nullptr) return 0;
    StatsFile* f = readFromBuffer(reinterpret_cast<const char*>(_encoded), _encodedLength);
    if (f == nullptr) return -1;
    for (int i = 0; i < count; i++) delete entries[i];
    free(entries);
    entries = f->releaseEntries(&count);
    capacity = count;
    interval = f->interval;
    startTime = f->startTime;
    endTime = f->endTime;
    free(_encoded);
    _encoded = nullptr;
    _encodedLength = 0;
    delete f;
    return 0;
}

long StatsFile::writeToFile(const char* path) {
    return writeWithFlags(path, O_WRONLY | O_CREAT | O_TRUNC);
}

long StatsFile::writeToNewFile(const char* path) {
    return writeWithFlags(path, O_WRONLY | O_CREAT | O_EXCL);
}

long StatsFile::writeWithFlags(const char* path, int flags) {
    // Encoded first, so that a body the reader would refuse is never written:
    // such a file could not be read back, and consolidation would skip it.
    Message m(0);
    if (_encoded == nullptr && !encodeFile(this, m)) return -EINVAL;
    // The frame adds its code, length and type bytes; the buffer form has
    // no code byte.
    size_t frame = _encoded != nullptr ? 8 : 9;
    size_t total = _encoded != nullptr ? _encodedLength : m.totalBytes();
    if (total > frame && total - frame > _maxBodyBytes) return -EFBIG;
    // Anyone who can write in a statistics folder can leave a FIFO under a
    // file's name, whose other end nothing may ever open: the open must not
    // wait for it.
    int fd = s_open_nowait(path, flags, 0644, true);
    if (fd < 0) return -errno;
    // Only a regular file of ours is removed again after a failed write
    // (never a device such as /dev/full that the path may name).
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    int err = writeAll(fd, kMagic, kMagicLength);
    long written = 0;
    if (err == 0) {
        // Compressed at level 9, appended after the magic line.
        gzFile gz = gzdopen(fd, _encoded != nullptr ? "ab" : "ab9");
        if (gz == nullptr) {
            err = errno != 0 ? errno : ENOMEM;
        } else {
            fd = -1;  // gzclose closes it
            auto put = [&](const unsigned char* p, size_t n) {
                while (err == 0 && n > 0) {
                    unsigned piece = n > (1u << 30) ? (1u << 30) : static_cast<unsigned>(n);
                    if (gzwrite(gz, p, piece) != static_cast<int>(piece)) err = gzErrno(gz);
                    p += piece;
                    n -= piece;
                    if (err == 0) written += piece;
                }
            };
            if (_encoded != nullptr) {
                put(_encoded, _encodedLength);
            } else {
                // Every buffer in order, without the frame's code byte.
                for (const MessageBase::_Buffer* b = m.firstBuffer(); b != nullptr && err == 0; b = b->next) {
                    size_t skip = b == m.firstBuffer() ? 1 : 0;
                    put(b->data + skip, b->used - skip);
                }
            }
            errno = 0;
            int rc = gzclose(gz);
            if (err == 0 && rc != Z_OK) err = rc == Z_ERRNO && errno != 0 ? errno : EIO;
        }
    }
    if (fd >= 0) close(fd);
    if (err != 0) {
        char buf[kChrootPathMax + 256];
        if (regular) unlink(s_adjust_path(buf, sizeof(buf), path));
        return -err;
    }
    return written;
}

StatsFile* StatsFile::readFromFile(const char* path) {
    char why[256];
    int err = 0;
    StatsFile* f = readFromFile(path, why, sizeof(why), &err);
    if (f == nullptr) log(err, "Error: '%s' %s", path, why);
    return f;
}

StatsFile* StatsFile::readFromFile(const char* path, char* why, size_t whyLength, int* err) {
    *err = 0;
    auto refuse = [&](const char* reason, const char* detail) -> StatsFile* {
        snprintf(why, whyLength, "%s%s%s", reason, detail != nullptr ? ": " : "", detail != nullptr ? detail : "");
        return nullptr;
    };
    int fd = s_open_nowait(path, O_RDONLY, 0, true);  // a FIFO reads as empty
    if (fd < 0) {
        *err = errno;
        return refuse("cannot be opened", nullptr);
    }
    char magic[kMagicLength];
    size_t got = 0;
    while (got < kMagicLength) {
        ssize_t r = read(fd, magic + got, kMagicLength - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    if (got < kMagicLength || memcmp(magic, kMagic, kMagicLength) != 0) {
        close(fd);
        return refuse("is not a statistics file (its first line is not \"?dravika-perfdata\")", nullptr);
    }
    gzFile gz = gzdopen(fd, "rb");
    if (gz == nullptr) {
        close(fd);
        *err = ENOMEM;
        return refuse("cannot be read", nullptr);
    }
    ReceivedMessage m;
    const char* fault = nullptr;
    unsigned char piece[kPiece];
    for (;;) {
        int n = gzread(gz, piece, sizeof(piece));
        if (n < 0) break;
        if (gzdirect(gz)) {
            fault = "the data after the first line is not gzip-compressed";
            break;
        }
        if (n == 0) break;
        if (!receiveBody(m, piece, static_cast<size_t>(n), false, &fault)) break;
    }
    int code = Z_OK;
    std::string zmsg = gzerror(gz, &code);
    // zlib names the descriptor ("<fd:3>: "); the caller names the file.
    if (zmsg.compare(0, 4, "<fd:") == 0 && zmsg.find(": ") != std::string::npos) zmsg.erase(0, zmsg.find(": ") + 2);
    gzclose(gz);
    if (fault == nullptr && code != Z_OK) return refuse("is damaged", zmsg.c_str());
    if (fault == nullptr) receiveBody(m, nullptr, 0, true, &fault);
    if (fault != nullptr) return refuse("is damaged", fault);
    StatsFile* f = decodeBody(m);
    if (f == nullptr) return refuse("is damaged", "its body does not decode");
    return f;
}

StatEntry* StatsFile::findLatestContainingClsid(long long cls) const {
    StatEntry* best = nullptr;
    for (int i = 0; i < count; i++) {
        StatEntry* e = entries[i];
        if (best != nullptr && e->time <= best->time) continue;
        for (int r = 0; r < e->count; r++) {
            if (e->rows[r]->cls == cls) {
                best = e;
                break;
            }
        }
    }
    return best;
}

void StatsFile::dump(FILE* out) {
    decode();
    char start[64] = "", end[64] = "";
    struct tm tm;
    time_t t = static_cast<time_t>(startTime);
    if (localtime_r(&t, &tm) != nullptr) strftime(start, sizeof(start), "%x %X", &tm);
    t = static_cast<time_t>(endTime);
    if (localtime_r(&t, &tm) != nullptr) strftime(end, sizeof(end), "%x %X", &tm);
    fprintf(out, "%s - %s (%d)\n", start, end, count);
    for (int i = 0; i < count; i++) entries[i]->dump(out);
}

char* StatsFile::toString(Parser*) {
    // Shown as what it holds; bytes that do not decode are counted instead.
    decode();
    int n = count;
    if (_encoded != nullptr) n = -1;
    return buildJSON("ijjii", "interval", interval, "startTime", &startTime, "endTime", &endTime, "entries", n,
                     "encodedBytes", static_cast<int>(_encodedLength));
}

int StatsFileXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        StatsFile* f = static_cast<StatsFile*>(*obj);
        char* buf = nullptr;
        size_t len = 0;
        if (f->writeToBuffer(&buf, &len) != 0) return -1;
        m->writeBytesField(1, buf, static_cast<uint32_t>(len));
        free(buf);
        return m->writeInt64Field(2, f->startTime) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    unsigned char* bytes = nullptr;
    uint32_t len = 0;
    int64_t start = 0;
    if (m->readBytesField(1, &bytes, &len) != 0 || m->readInt64Field(2, &start) != 0) {
        free(bytes);
        return -1;
    }
    StatsFile* f = new StatsFile();
    f->_encoded = bytes;
    f->_encodedLength = len;
    f->startTime = start;
    *obj = f;
    return 0;
}
