// Transaction records: their encoding, the compression table, stable time
// and bandwidth units.
#include <gtest/gtest.h>

#include "dirbase/message.h"
#include "ft/ft.h"
#include "ft/ft_filter.h"
#include "ft/ft_protocol.h"
#include "ft/ft_transaction.h"

TEST(FtTransaction, FtEncodingKeepsEveryField) {
    ft_registerTranslators();
    Ft ft;
    ft.keepFallbacks = true;
    ft.fallbackText = strdup("fb");
    ft.fallbackCount = 4;
    FtTransaction* t = new FtTransaction;
    t->setSource("/src");
    t->setDestination("/dst");
    t->compression = 7;
    t->modifiedOnly = true;
    t->removeMissing = true;
    t->algorithm = 2;
    t->bandwidth = 2.5f;
    t->bandwidthUnit = 2;
    t->setIndexName("nightly");
    t->addFilter(PAT_PROTECT, "keep/***");
    t->addFilter(PAT_EXCLUDE, ".*\\.o");
    t->setMode(".*\\.sh", 0755);
    t->setOwner(".*", "root");
    t->setGroup("x", "wheel");
    ft.addTransaction(t);
    FtTransaction* t2 = new FtTransaction;
    t2->setSource("/other");
    t2->move = true;
    ft.addTransaction(t2);

    Message m(1);
    ASSERT_EQ(0, m.writeObject(OBJ_FT_ID, &ft));
    size_t n = 0;
    unsigned char* bytes = m.copyBytes(&n);
    Message in(reinterpret_cast<const char*>(bytes) + 9, n - 9);
    free(bytes);
    Translatable* obj = nullptr;
    ASSERT_EQ(0, in.readObject(OBJ_FT_ID, &obj));
    Ft* back = static_cast<Ft*>(obj);
    EXPECT_TRUE(back->keepFallbacks);
    EXPECT_STREQ("fb", back->fallbackText);
    EXPECT_EQ(4, back->fallbackCount);
    EXPECT_EQ(30, back->fallbackAge);
    FtTransaction* b = back->transactions();
    ASSERT_NE(nullptr, b);
    EXPECT_STREQ("/src", b->source);
    EXPECT_STREQ("/dst", b->destination);
    EXPECT_EQ(7, b->compression);
    EXPECT_TRUE(b->modifiedOnly);
    EXPECT_TRUE(b->removeMissing);
    EXPECT_EQ(2, b->algorithm);
    EXPECT_DOUBLE_EQ(2500.0, b->bandwidthKbps());
    EXPECT_STREQ("nightly", b->indexName);
    ASSERT_NE(nullptr, b->filters);
    EXPECT_EQ(PAT_PROTECT, b->filters->action);
    EXPECT_STREQ(".*\\.o", b->filters->next->pattern);
    EXPECT_EQ(0755, b->modeFor("run.sh"));
    EXPECT_EQ(-1, b->modeFor("run.c"));
    EXPECT_STREQ("root", b->ownerFor("anything"));
    EXPECT_STREQ("wheel", b->groupFor("x"));
    EXPECT_EQ(nullptr, b->groupFor("y"));
    ASSERT_NE(nullptr, b->next);
    EXPECT_TRUE(b->next->move);
    EXPECT_EQ(nullptr, b->next->destination);
    delete back;
}

TEST(FtTransaction, CompressionStableTimeAndBandwidth) {
    FtTransaction t;
    t.compression = 5;
    EXPECT_EQ(0, t.compressionFor("photo.JPG"));
    EXPECT_EQ(8, t.compressionFor("dir.x/notes.txt"));
    EXPECT_EQ(3, t.compressionFor("data.bin"));
    EXPECT_EQ(5, t.compressionFor("Makefile"));
    EXPECT_EQ(9, t.compressionFor("cd.iso"));
    t.compression = 12;
    EXPECT_EQ(3, t.compressionFor("Makefile"));

    EXPECT_EQ(0, t.stableSecondsFor("app.log"));
    t.setStableTime(".tmp/5,.log/60,/-3");
    EXPECT_EQ(60, t.stableSecondsFor("app.log"));
    EXPECT_EQ(5, t.stableSecondsFor("x.tmp"));
    // The empty suffix matches everything; a negative count is 0.
    EXPECT_EQ(0, t.stableSecondsFor("other"));

    t.bandwidth = 3;
    t.bandwidthUnit = 1;
    EXPECT_DOUBLE_EQ(3, t.bandwidthKbps());
    t.bandwidthUnit = 3;
    EXPECT_DOUBLE_EQ(3000000, t.bandwidthKbps());
    t.bandwidthUnit = 4;
    EXPECT_DOUBLE_EQ(0, t.bandwidthKbps());
}

TEST(FtTransaction, CommandNamesFollowTheContext) {
    EXPECT_STREQ("FT_QUIT", ftCommandName(3, false));
    EXPECT_STREQ("FT_RECV_PART2", ftCommandName(3, true));
    EXPECT_STREQ("FT_SYNC_SIGNATURES", ftCommandName(1004, true));
    EXPECT_STREQ("unknown", ftCommandName(12345, false));
    Message m(1);
    ftWriteCommand(&m, FT_PROTOCOL_2, FT_REMOVE);
    ftWriteCommand(&m, FT_PROTOCOL_1, FT_REMOVE);
    size_t n = 0;
    unsigned char* bytes = m.copyBytes(&n);
    ASSERT_EQ(19u, n);
    EXPECT_EQ(TAG_CMD, bytes[9]);
    EXPECT_EQ(TAG_INT32, bytes[14]);
    Message in(reinterpret_cast<const char*>(bytes) + 9, n - 9);
    free(bytes);
    int32_t code = 0;
    ASSERT_EQ(0, ftReadCommand(&in, &code));
    EXPECT_EQ(FT_REMOVE, code);
    ASSERT_EQ(0, ftReadCommand(&in, &code));
    EXPECT_EQ(FT_REMOVE, code);
    EXPECT_NE(0, ftReadCommand(&in, &code));
}
