// The one list of dirbase's translators (see translators.h).
#include "dirbase/translators.h"

#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "dirbase/expect.h"
#include "dirbase/message.h"

void dirbase_registerTranslators() {
    MessageBase::registerObjectXlator(OBJ_ANY_ID, AnyXlator, AnyInPlace);
    MessageBase::registerObjectXlator(OBJ_ANYARRAY_ID, AnyArrayXlator, AnyArrayInPlace);
    MessageBase::registerObjectXlator(OBJ_ATTRIBUTES_ID, AttributesXlator, AttributesInPlace);
    MessageBase::registerObjectXlator(OBJ_ATTRLIST_ID, AttributesEntryXlator);
    MessageBase::registerObjectXlator(OBJ_ATTRLIST_LIST_ID, AttributesEntryListXlator);
    MessageBase::registerObjectXlator(OBJ_DIRNAMEENTRY_ID, DirNameEntryXlator);
    MessageBase::registerObjectXlator(OBJ_DIRNAMEENTRY_ATTR_ID, DirNameEntryAttrXlator);
    MessageBase::registerObjectXlator(OBJ_DIRNAMEENTRY_ATTR_LIST_ID, DirNameEntryAttrListXlator);
    MessageBase::registerObjectXlator(OBJ_DIRNAME_ID, DirNameXlator);
    MessageBase::registerObjectXlator(OBJ_DIRNAME_NODE_ID, DirNameNodeXlator);
    MessageBase::registerObjectXlator(OBJ_DIRNAME_NODE_LIST_ID, DirNameNodeListXlator);
    MessageBase::registerObjectXlator(OBJ_DIRECTORYENUMERATION_ID, DirectoryEnumerationXlator);
    MessageBase::registerObjectXlator(OBJ_DIRECTORYENUMERATION_ENTRY_ID, DirectoryEnumerationEntryXlator);
    MessageBase::registerObjectXlator(OBJ_DIRECTORYENUMERATION_LIST_ID, DirectoryEnumerationEntryListXlator);
    MessageBase::registerObjectXlator(OBJ_ACL_ID, AclXlator);
    MessageBase::registerObjectXlator(OBJ_CLASSENUMERATION_ID, ClassEnumerationXlator);
    MessageBase::registerObjectXlator(OBJ_CLASSENUMERATION_ENTRY_ID, ClassEnumerationEntryXlator);
    MessageBase::registerObjectXlator(OBJ_CLASSENUMERATION_LIST_ID, ClassEnumerationEntryListXlator);
    MessageBase::registerObjectXlator(OBJ_EXPECTENTRY_ID, ExpectEntryXlator);
    MessageBase::registerObjectXlator(OBJ_EXPECTLIST_ID, ExpectListXlator);
    MessageBase::registerObjectXlator(OBJ_EXPECTLIST_LIST_ID, ExpectListNodeListXlator);
    MessageBase::registerObjectXlator(OBJ_EXPECTLIST_NODE_ID, ExpectListNodeXlator);
}
