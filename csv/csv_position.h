// CSVPosition: where a CSV reader is in its text, as a line and a column
// (in characters) counted from 1; shared by parseCSV and HyperCSV.
//
// Both are counted in 64 bits: the streaming reader is made for large files,
// which may have more than 2^31 lines (or a line longer than 2^31
// characters), and the counters must go on counting past that. Error
// locations and warning records hold int positions: there a position
// beyond INT_MAX is given as INT_MAX, "at least this far", never as a
// wrapped or negative number. The task log prints the whole numbers.
//
// Thread-safety: a plain value, owned by the reader that counts with it.
#ifndef DRV_CSV_CSV_POSITION_H
#define DRV_CSV_CSV_POSITION_H

#include <limits.h>

struct CSVPosition {
    long long line = 1;
    long long column = 1;

    void nextLine() {
        line++;
        column = 1;
    }

    // n for a record that holds an int.
    static int reported(long long n) { return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n); }
    int reportedLine() const { return reported(line); }
    int reportedColumn() const { return reported(column); }
};

#endif
