// The write queue on its own: the bytes it hands out are the bytes pushed,
// in push order, however a writer splits or refuses them; messages owned
// by reference blocks go exactly when their last block does.
#include "coms/write_queue.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/coms/coms_support.h"

namespace {

using comstest::CountedMessage;

// Drains q into out through a writer that takes at most step bytes a call.
WriteQueue::Drain drainInSteps(WriteQueue& q, std::string* out, size_t step, int* completed) {
    int result = 0;
    return q.drain(
        [&](const unsigned char* p, size_t n) {
            size_t take = n < step ? n : step;
            out->append(reinterpret_cast<const char*>(p), take);
            return static_cast<int>(take);
        },
        &result, completed);
}

TEST(WriteQueue, CopiesAndReferencesComeOutInPushOrderThroughPartialWrites) {
    dravika_init();
    WriteQueue q;
    std::string referenced(10000, 'r');
    std::string expected;
    for (int i = 0; i < 50; i++) {
        std::string small = "copy-" + std::to_string(i) + ";";
        ASSERT_TRUE(q.pushCopy(small.data(), small.size()));
        expected += small;
        if (i % 10 == 3) {
            ASSERT_TRUE(q.pushReference(referenced.data() + i, 100 + i));
            expected.append(referenced, i, 100 + i);
        }
    }
    EXPECT_EQ(expected.size(), q.bytes());

    // A writer that takes 7 bytes a call stops the drain after each call
    // that took less than it was offered: resume until it is all out.
    std::string out;
    int completed = 0, total = 0, rounds = 0;
    while (drainInSteps(q, &out, 7, &completed) == WriteQueue::PARTIAL) {
        total += completed;
        EXPECT_EQ(expected.size() - out.size(), q.bytes()) << "the count follows every partial write";
        ASSERT_LT(++rounds, 100000);
    }
    total += completed;
    EXPECT_EQ(expected, out);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(0u, q.bytes());
    // The first copy, the five references, and a block for each run of
    // copies between them (those behind the first share one).
    EXPECT_EQ(12, total) << "every block was written out and released once";

    // The spare block kept from the drain serves the next push unharmed.
    ASSERT_TRUE(q.pushCopy("again", 5));
    out.clear();
    EXPECT_EQ(WriteQueue::DRAINED, drainInSteps(q, &out, 1000, &completed));
    EXPECT_EQ("again", out);
}

// A peer that keeps asking for control replies and reads nothing queues
// a few bytes at a time: they must cost about their size, not a block
// each. The first block, which a retried write may be holding, stays as
// it was pushed.
TEST(WriteQueue, SmallCopiesShareBlocksBehindTheFirst) {
    dravika_init();
    WriteQueue q;
    std::string expected = "head";
    ASSERT_TRUE(q.pushCopy(expected.data(), expected.size()));
    for (int i = 0; i < 10000; i++) {
        char c = static_cast<char>('a' + i % 26);
        ASSERT_TRUE(q.pushCopy(&c, 1));
        expected += c;
    }
    size_t n = 0;
    q.head(&n);
    EXPECT_EQ(4u, n);
    std::string out;
    int completed = 0;
    EXPECT_EQ(WriteQueue::DRAINED, drainInSteps(q, &out, 1 << 20, &completed));
    EXPECT_EQ(expected, out);
    EXPECT_LE(completed, 1 + 10000 / 4096 + 1);
}

TEST(WriteQueue, ARefusingWriterLosesNothing) {
    WriteQueue q;
    ASSERT_TRUE(q.pushCopy("abcdef", 6));
    ASSERT_TRUE(q.pushCopy("ghij", 4));
    int result = 0, completed = 0;
    std::string out;
    // The socket pushes back at once: nothing taken, the refusal reported.
    EXPECT_EQ(WriteQueue::REFUSED, q.drain([](const unsigned char*, size_t) { return -1; }, &result, &completed));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(0, completed);
    EXPECT_EQ(10u, q.bytes());
    // It takes two bytes, then refuses in the middle of the first block.
    int calls = 0;
    EXPECT_EQ(WriteQueue::PARTIAL, q.drain(
                                       [&](const unsigned char* p, size_t) {
                                           out.append(reinterpret_cast<const char*>(p), 2);
                                           ++calls;
                                           return 2;
                                       },
                                       &result, &completed));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(WriteQueue::REFUSED, q.drain([](const unsigned char*, size_t) { return 0; }, &result, &completed));
    EXPECT_EQ(0, result);
    // Then everything: the rest follows from the offset.
    EXPECT_EQ(WriteQueue::DRAINED, drainInSteps(q, &out, 100, &completed));
    EXPECT_EQ("abcdefghij", out);
    EXPECT_EQ(2, completed);
}

TEST(WriteQueue, OwnedMessagesGoWithTheirLastBlockOrWithTheQueue) {
    std::atomic<int> deleted{0};
    {
        WriteQueue q;
        auto* m = new CountedMessage(&deleted);
        const MessageBase::_Buffer* b = m->firstBuffer();
        ASSERT_TRUE(q.pushReference(b->data, 3));
        ASSERT_TRUE(q.pushReference(b->data + 3, b->used - 3));
        q.setOwner(m);
        std::string out;
        int completed = 0;
        // The first block going does not free the message its second still
        // points into.
        int result = 0;
        q.drain(
            [&](const unsigned char* p, size_t n) {
                out.append(reinterpret_cast<const char*>(p), n);
                return completed == 0 && out.size() == 3 ? static_cast<int>(n) : 0;
            },
            &result, &completed);
        EXPECT_EQ(1, completed);
        EXPECT_EQ(0, deleted.load());
        EXPECT_EQ(WriteQueue::DRAINED, drainInSteps(q, &out, 1000, &completed));
        EXPECT_EQ(1, deleted.load()) << "released with the block that held its last part";

        // Messages still queued are released by clear ...
        auto* n = new CountedMessage(&deleted);
        ASSERT_TRUE(q.pushReference(n->firstBuffer()->data, n->firstBuffer()->used));
        q.setOwner(n);
        q.clear();
        EXPECT_EQ(2, deleted.load());
        EXPECT_TRUE(q.empty());
        EXPECT_EQ(0u, q.bytes());

        // ... and by the queue's end.
        auto* o = new CountedMessage(&deleted);
        ASSERT_TRUE(q.pushCopy("x", 1));
        ASSERT_TRUE(q.pushReference(o->firstBuffer()->data, o->firstBuffer()->used));
        q.setOwner(o);
    }
    EXPECT_EQ(3, deleted.load());
}

}  // namespace
