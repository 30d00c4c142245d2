// Statistics files: a StatsFile holds time-stamped entries of statistics
// rows (common/stats.h) and is kept on disk as the magic line
// "?dravika-perfdata\n" followed by one gzip stream. The stream holds the
// file's buffer form: the length and type words of a message frame (type
// 0), then the encoded file (interval, start, end, entry count, entries).
// A StatsFile also travels inside encoded objects (StatsFileXlator, object
// 2055), where it stays in its buffer form until decode() is called.
//
// The encoding of the plain row types lives here too (they sit below the
// encoding in common/), as the stat*Message functions.
//
// Ownership: a StatsFile owns its entries, an entry its rows, a row its
// label and values (see common/stats.h). Thread-safety: none; a file belongs
// to one thread at a time. consolidate() works on files on disk and must not
// run twice at once for the same directory and day.
#ifndef DRV_RECORDS_STATS_FILE_H
#define DRV_RECORDS_STATS_FILE_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>

#include "common/stats.h"
#include "dirbase/translatable.h"
#include "records/records.h"

class MessageBase;

// StatData: kind as an int32, then an int64 (kinds 0 and 1) or a double
// (kind 2). Reading refuses any other kind; a failed read gives null.
int writeStatDataToMessage(MessageBase* m, const StatData* d);
StatData* readStatDataFromMessage(MessageBase* m);
// StatRow: class id and id (int64), label (string), value count (int32),
// the values.
int writeStatRowToMessage(MessageBase* m, const StatRow* row);
StatRow* readStatRowFromMessage(MessageBase* m);
// StatEntry: time (int64), row count (int32), the rows.
int writeStatEntryToMessage(MessageBase* m, const StatEntry* entry);
StatEntry* readStatEntryFromMessage(MessageBase* m);

class StatsFile : public Translatable {
public:
    // The plain-text first line of every statistics file.
    static const char kMagic[];
    static const size_t kMagicLength = 18;
    static const int kDefaultInterval = 10;
    // Bodies larger than this (uncompressed) are refused when reading, so a
    // small hostile file cannot inflate into all of memory; writing refuses
    // them too, so that every file written can be read back.
    static size_t _maxBodyBytes;

    StatsFile();
    ~StatsFile() override;
    StatsFile(const StatsFile&) = delete;
    StatsFile& operator=(const StatsFile&) = delete;

    // Appends and takes ownership; the start time becomes the entry's time
    // when none is set yet, the end time when the entry is later.
    void add(StatEntry* entry);
    // Hands the entries over to the caller (the file is left empty).
    StatEntry** releaseEntries(int* count);

    // The encoded file: interval, start, end, entry count, the entries.
    int writeToMessage(MessageBase* m) const;
    // A new file, or null (nothing kept) when the bytes do not read.
    static StatsFile* readFromMessage(MessageBase* m);

    // Writes the magic line, then the buffer form through zlib at level 9
    // (a file still in its buffer form writes those bytes as they are).
    // Returns the bytes given to zlib, or a negative errno (-EFBIG, with
    // nothing written, for a body beyond _maxBodyBytes). A file that cannot
    // be written completely is removed again.
    long writeToFile(const char* path);
    // The same into a file that this call creates: -EEXIST when anything
    // is at path already (a link there is neither followed nor written
    // through).
    long writeToNewFile(const char* path);
    // A new file, or null when the file cannot be opened, lacks the magic
    // line, is not one whole gzip stream, or its body does not decode (each
    // logged with the reason).
    static StatsFile* readFromFile(const char* path);
    // The same without logging: the reason is written into why (a phrase
    // that follows the file's name) and *err gets the errno behind it, or 0.
    static StatsFile* readFromFile(const char* path, char* why, size_t whyLength, int* err);
    // The buffer form in memory (malloc'ed): frame length and type words,
    // then the encoded file. 0, or -1 when encoding failed.
    int writeToBuffer(char** buf, size_t* len);
    // A new file from its buffer form, or null.
    static StatsFile* readFromBuffer(const char* buf, size_t len);

    // Turns a file received in its buffer form into entries; 0 when it is
    // decoded (or was never encoded), -1 when the bytes do not read.
    int decode();
    bool isEncoded() const { return _encoded != nullptr; }

    // The entry with the latest time that has a row of class id cls, or null.
    StatEntry* findLatestContainingClsid(long long cls) const;

    // Merges the files of one day in dir ("YYYYMMDD-*.stats") into
    // "dir/YYYYMMDD-000000.stats", ordered by start time, and deletes the
    // others. Files that do not read are skipped and left in place; an
    // earlier "YYYYMMDD-000000.stats" that does not read is moved aside to
    // "YYYYMMDD-000000.stats.unreadable" (or "...unreadable-N") rather than
    // replaced. Prints its progress on standard output. 0, or -1 when the
    // merged file cannot be written or the unreadable one cannot be moved
    // aside (the inputs are then left as they were), or when dir or day is
    // null.
    static int consolidate(const char* dir, struct tm* day);

    // "start - end (entries)", then every entry and row.
    void dump(FILE* out);

    // { "interval", "startTime", "endTime", "entries", "encodedBytes" },
    // decoding kept bytes first (entries -1 when they do not decode).
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_STATSFILE_ID; }

    int interval;
    long long startTime;
    long long endTime;
    StatEntry** entries;
    int count;
    int capacity;

    // The buffer form of a file received encoded and not yet decoded.
    unsigned char* _encoded;
    size_t _encodedLength;

private:
    long writeWithFlags(const char* path, int flags);
};

// Field 1: the buffer form as a byte block; field 2: the start time.
// Decoding keeps the bytes undecoded.
int StatsFileXlator(MessageBase* message, Translatable** obj, int direction);

#endif
