// Performance samples: a StatEntry holds the rows taken at one moment, a
// StatRow one labelled series of numbers (for example one network interface).
#ifndef DRV_COMMON_STATS_H
#define DRV_COMMON_STATS_H

#include <stdio.h>

struct StatData {
    enum Kind : char { KIND_INT64 = 1, KIND_DOUBLE = 2 };

    char kind;
    union {
        long long i;
        double d;
    } value;

    static StatData* makeInt64(long long v);
    static StatData* makeDouble(double v);
    // A null-terminated array of the n StatData* arguments (none when n is
    // below zero); the caller owns it.
    static StatData** createSeriesArray(int n, ...);
};

class StatRow {
public:
    static const int kMaxLabel = 255;

    // Takes ownership of series (null-terminated); a label longer than 256
    // characters is cut to 255.
    StatRow(long long cls, long long id, const char* label, StatData** series);
    ~StatRow();
    StatRow(const StatRow&) = delete;
    StatRow& operator=(const StatRow&) = delete;

    int seriesCount() const;
    void dump(FILE* out) const;

    long long cls;
    long long id;
    char* label;
    StatData** series;
};

class StatEntry {
public:
    explicit StatEntry(long time);
    ~StatEntry();
    StatEntry(const StatEntry&) = delete;
    StatEntry& operator=(const StatEntry&) = delete;

    // Appends and takes ownership.
    void addRow(StatRow* row);
    void dump(FILE* out) const;

    long long time;
    StatRow** rows;
    int count;
    int capacity;
};

#endif
