// The CSV readers' position counting: lines and columns go on past the int
// range (a large file has more than 2^31 lines), and records that hold an
// int get the position clamped, never wrapped.
#include "csv/csv_position.h"

#include <limits.h>

#include <gtest/gtest.h>

#include <string>

#include "csv/csv_scan.h"

namespace {

TEST(CSVPosition, LinesAndColumnsCountPastTheIntRange) {
    CSVPosition at;
    EXPECT_EQ(1, at.line);
    EXPECT_EQ(1, at.column);
    at.line = INT_MAX;
    at.column = 7;
    at.nextLine();
    at.nextLine();
    EXPECT_EQ(INT_MAX + 2LL, at.line);
    EXPECT_EQ(1, at.column);

    // The scanner adds the characters it passes (é is one) to a column that
    // is already at the end of the int range.
    const unsigned char stops[] = {','};
    const CSVScanner scanner(stops, 1);
    const std::string text = std::string(40, 'x') + "\xC3\xA9,rest";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    at.column = INT_MAX - 10LL;
    const unsigned char* stop = scanner.find(p, p + text.size(), &at.column);
    EXPECT_EQ(',', *stop);
    EXPECT_EQ(INT_MAX - 10LL + 41, at.column);
}

TEST(CSVPosition, IntRecordsGetTheFarthestIntInstead) {
    CSVPosition at;
    at.line = 12;
    at.column = 34;
    EXPECT_EQ(12, at.reportedLine());
    EXPECT_EQ(34, at.reportedColumn());
    at.line = INT_MAX;
    EXPECT_EQ(INT_MAX, at.reportedLine());
    at.nextLine();
    at.column = 1LL << 40;
    EXPECT_EQ(INT_MAX, at.reportedLine());
    EXPECT_EQ(INT_MAX, at.reportedColumn());
    EXPECT_EQ(INT_MAX, CSVPosition::reported(LLONG_MAX));
}

}  // namespace
