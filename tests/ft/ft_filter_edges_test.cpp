// Path filters at the edges of their pattern language: patterns that name
// the top of the transfer itself and no component below it.
#include <gtest/gtest.h>

#include "ft/ft_filter.h"
#include "ft/ft_transaction.h"

TEST(FtFilterEdges, TheWholeTreeUnderTheTopIsOneSubtreePattern) {
    // A leading "/" anchors at the top; "/***" after it takes the named
    // directory and all below, and here the named directory is the top.
    FtTransaction t;
    t.addFilter(PAT_PROTECT, "//***");
    EXPECT_EQ(PAT_PROTECT, fmatch("a", false, t.filters));
    EXPECT_EQ(PAT_PROTECT, fmatch("a/b/c", true, t.filters));
    // Plain "/" and "//" name only the top, a directory with no components.
    FtTransaction u;
    u.addFilter(PAT_EXCLUDE, "/");
    EXPECT_EQ(PAT_EXCLUDE, fmatch("", true, u.filters));
    EXPECT_EQ(PAT_INCLUDE, fmatch("", false, u.filters));
    EXPECT_EQ(PAT_INCLUDE, fmatch("a", true, u.filters));
    // "/***" itself is no subtree pattern (too short): its one component is
    // an invalid expression, which matches nothing.
    FtTransaction v;
    v.addFilter(PAT_EXCLUDE, "/***");
    EXPECT_EQ(PAT_INCLUDE, fmatch("a", false, v.filters));
    EXPECT_EQ(PAT_INCLUDE, fmatch("a/b", true, v.filters));
}
