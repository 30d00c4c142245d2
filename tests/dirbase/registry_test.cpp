// The translator registry: which translator answers an id, the principal
// hook for id 7, and what encoding does once nothing is registered; and the
// named-object Registry beside it. A program of its own, since it changes
// the process-wide registrations.
#include <gtest/gtest.h>

#include "common/log.h"
#include "dir/asset.h"
#include "dir/directory.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/message.h"
#include "dirbase/registry.h"

namespace {

int first(MessageBase*, Translatable**, int) {
    return 1;
}
int second(MessageBase*, Translatable**, int) {
    return 2;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        _log_level = LOG_CRITICAL;
        Directory::init();
    }
};

TEST_F(RegistryTest, InitRegistersEachLibrarysTranslatorsOnce) {
    Directory::init();  // a second call changes nothing
    EXPECT_EQ(&AnyXlator, MessageBase::findXlatorFn(OBJ_ANY_ID));
    EXPECT_EQ(&AclXlator, MessageBase::findXlatorFn(OBJ_ACL_ID));
    EXPECT_NE(nullptr, MessageBase::findXlatorFn(1013)) << "dir's own DirectoryObject";
    EXPECT_EQ(&AssetXlator, MessageBase::findXlatorFn(OBJ_ASSET_ID)) << "dir's asset records";
}

TEST_F(RegistryTest, TheNewestRegistrationOfAnIdAnswers) {
    // Enough registrations to make the lookup table grow on the way.
    for (unsigned int id = 80000; id < 80200; id++) MessageBase::registerObjectXlator(id, first);
    MessageBase::registerObjectXlator(80007, second);
    EXPECT_EQ(&second, MessageBase::findXlatorFn(80007));
    EXPECT_EQ(&first, MessageBase::findXlatorFn(80199));
    EXPECT_EQ(nullptr, MessageBase::findXlatorFn(80200));
    EXPECT_EQ(&AnyXlator, MessageBase::findXlatorFn(OBJ_ANY_ID)) << "earlier ids survive the growth";
}

TEST_F(RegistryTest, ANullRegistrationAnswersForItsIdAlone) {
    // Ids that share a home slot in the lookup table sit one after another:
    // a registration without a function, of an id that collides, must not
    // end the search for the ids stored past it.
    for (unsigned int id = 81000; id < 81300; id++) MessageBase::registerObjectXlator(id, first);
    for (unsigned int id = 81000; id < 81300; id++) {
        MessageBase::registerObjectXlator(id, nullptr);
        ASSERT_EQ(nullptr, MessageBase::findXlatorFn(id)) << "the newest registration answers, a null one too";
        for (unsigned int other = id + 1; other < 81300; other++)
            ASSERT_EQ(&first, MessageBase::findXlatorFn(other)) << other << " hidden by " << id;
    }
    EXPECT_EQ(&AnyXlator, MessageBase::findXlatorFn(OBJ_ANY_ID));
}

TEST_F(RegistryTest, IdSevenIsAnsweredByThePrincipalHookAlone) {
    MessageBase::setPrincipalXlator(nullptr);
    MessageBase::registerObjectXlator(7, first);
    EXPECT_EQ(nullptr, MessageBase::findXlatorFn(7)) << "a registration of 7 is never asked";
    MessageBase::setPrincipalXlator(second);
    EXPECT_EQ(&second, MessageBase::findXlatorFn(7));
    MessageBase::setPrincipalXlator(nullptr);
}

TEST_F(RegistryTest, NamedObjectsAnswerNewestFirstAndLeaveWithEveryName) {
    int a = 0, b = 0;
    char name[] = "registry-test";
    Registry::registerObject(name, &a);
    name[0] = 'R';  // the registry keeps its own copy of the name
    Registry::registerObject("registry-test", &b);
    Registry::registerObject("registry-alias", &a);
    EXPECT_EQ(&b, Registry::getObject("registry-test"));
    EXPECT_EQ(nullptr, Registry::getObject("Registry-test"));
    Registry::unregisterObject(&b);
    EXPECT_EQ(&a, Registry::getObject("registry-test")) << "the older pair answers again";
    Registry::unregisterObject(&a);
    EXPECT_EQ(nullptr, Registry::getObject("registry-test"));
    EXPECT_EQ(nullptr, Registry::getObject("registry-alias")) << "every pair that holds the object goes";
}

// Defined last: it empties the registry.
TEST_F(RegistryTest, WithoutTranslatorsOnlyNullObjectsTravel) {
    MessageBase::unregisterAll();
    EXPECT_EQ(nullptr, MessageBase::findXlatorFn(OBJ_ANY_ID));
    Acl acl("x");
    Message m(0);
    EXPECT_EQ(-1, m.writeContainer(OBJ_ACL_ID, &acl)) << "a list without translator writes nothing";
    EXPECT_EQ(0u, m.totalBytes()) << "not even the header";
    EXPECT_EQ(0, m.writeObject(OBJ_ACL_ID, nullptr)) << "a null object needs no translator";
    m.switchToRead();
    Translatable* obj;
    EXPECT_EQ(0, m.readObject(OBJ_ACL_ID, &obj));
    EXPECT_EQ(nullptr, obj);
    // Writing an object without translator is a programming error.
    EXPECT_DEATH(
        {
            Message out(0);
            out.writeObject(OBJ_ACL_ID, &acl);
        },
        "");
}

}  // namespace
