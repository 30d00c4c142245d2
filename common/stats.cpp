#include "common/stats.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

StatData* StatData::makeInt64(long long v) {
    StatData* d = new StatData;
    d->kind = KIND_INT64;
    d->value.i = v;
    return d;
}

StatData* StatData::makeDouble(double v) {
    StatData* d = new StatData;
    d->kind = KIND_DOUBLE;
    d->value.d = v;
    return d;
}

StatData** StatData::createSeriesArray(int n, ...) {
    // A count below zero passes no values: the array is just its end (the
    // terminator must not land in front of the allocation).
    if (n < 0) n = 0;
    StatData** series = static_cast<StatData**>(malloc(sizeof(StatData*) * (static_cast<size_t>(n) + 1)));
    va_list args;
    va_start(args, n);
    for (int i = 0; i < n; i++) series[i] = va_arg(args, StatData*);
    va_end(args);
    series[n] = nullptr;
    return series;
}

StatRow::StatRow(long long cls, long long id, const char* label, StatData** series)
    : cls(cls), id(id), label(nullptr), series(series) {
    if (label != nullptr) {
        size_t len = strlen(label);
        if (len > 256) len = kMaxLabel;
        this->label = strndup(label, len);
    }
}

StatRow::~StatRow() {
    free(label);
    if (series != nullptr) {
        for (StatData** d = series; *d != nullptr; d++) delete *d;
        free(series);
    }
}

int StatRow::seriesCount() const {
    int n = 0;
    while (series != nullptr && series[n] != nullptr) n++;
    return n;
}

void StatRow::dump(FILE* out) const {
    fprintf(out, "        cls: %lld, id: %lld, label: %s, ", cls, id, label != nullptr ? label : "(null)");
    for (int i = 0; i < seriesCount(); i++) {
        if (series[i]->kind == StatData::KIND_DOUBLE)
            fprintf(out, "(%d) %f, ", series[i]->kind, series[i]->value.d);
        else
            fprintf(out, "(%d) %lld, ", series[i]->kind, series[i]->value.i);
    }
    fputc('\n', out);
}

StatEntry::StatEntry(long time) : time(time), rows(nullptr), count(0), capacity(0) {}

StatEntry::~StatEntry() {
    for (int i = 0; i < count; i++) delete rows[i];
    free(rows);
}

void StatEntry::addRow(StatRow* row) {
    if (count == capacity) {
        capacity += 20;
        rows = static_cast<StatRow**>(realloc(rows, sizeof(StatRow*) * capacity));
    }
    rows[count++] = row;
}

void StatEntry::dump(FILE* out) const {
    time_t t = static_cast<time_t>(time);
    struct tm tm;
    // A time the calendar cannot hold (from a damaged file) shows as nothing.
    char when[64] = "";
    if (localtime_r(&t, &tm) != nullptr) strftime(when, sizeof(when), "%x %X", &tm);
    fprintf(out, "    %s:\n", when);
    for (int i = 0; i < count; i++) rows[i]->dump(out);
}
