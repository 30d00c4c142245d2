// The translator registry: newest registration wins, the principal hook for
// id 7, unregistering everything, and what encoding does without a
// translator. A program of its own, since it empties the process-wide list.
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/message.h"

namespace {

int first(MessageBase*, Translatable**, int) {
    return 1;
}
int second(MessageBase*, Translatable**, int) {
    return 2;
}

TEST(Registry, NewestRegistrationWinsAndUnregisterAllEmptiesIt) {
    _log_level = LOG_CRITICAL;
    Directory::init();
    Directory::init();  // once only
    EXPECT_EQ(&AnyXlator, MessageBase::findXlatorFn(OBJ_ANY_ID));
    EXPECT_EQ(&AclXlator, MessageBase::findXlatorFn(OBJ_ACL_ID));
    EXPECT_EQ(nullptr, MessageBase::findXlatorFn(4000)) << "assets come later";

    // Enough registrations to grow the lookup table on the way.
    for (unsigned int id = 80000; id < 80200; id++) MessageBase::registerObjectXlator(id, first);
    MessageBase::registerObjectXlator(80007, second);
    EXPECT_EQ(&second, MessageBase::findXlatorFn(80007));
    EXPECT_EQ(&first, MessageBase::findXlatorFn(80199));
    EXPECT_EQ(&AnyXlator, MessageBase::findXlatorFn(OBJ_ANY_ID));

    // Id 7 is answered by the principal hook, whatever is registered.
    MessageBase::registerObjectXlator(7, first);
    EXPECT_EQ(nullptr, MessageBase::findXlatorFn(7));
    MessageBase::_principalXlator = second;
    EXPECT_EQ(&second, MessageBase::findXlatorFn(7));
    MessageBase::_principalXlator = nullptr;

    long before = MessageBase::_n_messages.load();
    {
        Message a(1), b, c("x", 1);
    }
    EXPECT_EQ(before + 3, MessageBase::_n_messages.load());

    MessageBase::unregisterAll();
    EXPECT_EQ(nullptr, MessageBase::findXlatorFn(OBJ_ANY_ID));
    EXPECT_EQ(nullptr, MessageBase::findXlatorFn(80007));

    // Without translators: a list writes nothing, a null object still reads,
    // and writing an object is a programming error (reading one fails with
    // -18, as the encoding tests show).
    Acl acl("x");
    Message m(0);
    EXPECT_EQ(-1, m.writeContainer(OBJ_ACL_ID, &acl));
    EXPECT_EQ(0u, m.totalBytes()) << "nothing written, not even the header";
    EXPECT_EQ(0, m.writeObject(OBJ_ACL_ID, nullptr)) << "a null object needs no translator";
    m.switchToRead();
    Translatable* obj;
    EXPECT_EQ(0, m.readObject(OBJ_ACL_ID, &obj));
    EXPECT_DEATH(
        {
            Message out(0);
            out.writeObject(OBJ_ACL_ID, &acl);
        },
        "");
}

}  // namespace
