#include "records/ci_update.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/build_json.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"
#include "records/record_util.h"

namespace {

char* nextItemText(void** cursor) {
    Ci* n = static_cast<Ci*>(*cursor);
    if (n == nullptr) return nullptr;
    *cursor = n->next;
    return n->toString(nullptr);
}

}  // namespace

Ci::Ci(const char* ciClass, const char* ciId, const char* name, Attributes* attributes)
    : ciClass(dupOrNull(ciClass)), ciId(dupOrNull(ciId)), name(dupOrNull(name)), attributes(attributes),
      next(nullptr) {}

Ci::~Ci() {
    free(ciClass);
    free(ciId);
    free(name);
    delete attributes;
    deleteChain(this);
}

char* Ci::toString(Parser*) {
    return buildJSON("ssso", "ciClass", ciClass, "ciId", ciId, "name", name, "attributes",
                     static_cast<Translatable*>(attributes));
}

CiUpdate::CiUpdate(const char* assetId, int operation, const char* source, const char* collectedAt)
    : assetId(dupOrNull(assetId)), operation(operation), source(dupOrNull(source)),
      collectedAt(dupOrNull(collectedAt)), items(nullptr) {}

CiUpdate::~CiUpdate() {
    free(assetId);
    free(source);
    free(collectedAt);
    delete items;
}

void CiUpdate::addItem(Ci* item) {
    Ci* last = lastOf(items);
    if (last != nullptr)
        last->next = item;
    else
        items = item;
}

int CiUpdate::itemCount() const {
    int n = 0;
    for (const Ci* c = items; c != nullptr; c = c->next) n++;
    return n;
}

char* CiUpdate::toString(Parser*) {
    return buildJSON("sissl", "assetId", assetId, "operation", operation, "source", source, "collectedAt",
                     collectedAt, "items", static_cast<void*>(items), nextItemText);
}

int CiXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Ci* c = static_cast<const Ci*>(*obj);
        m->writeStringField(1, c->ciClass);
        m->writeStringField(2, c->ciId);
        m->writeStringField(3, c->name);
        return m->writeObjectField(4, OBJ_ATTRIBUTES_ID, c->attributes) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    Ci* c = new Ci(nullptr, nullptr, nullptr, nullptr);
    Translatable* attributes = nullptr;
    int rc = m->readStringField(1, &c->ciClass);
    if (rc == 0) rc = m->readStringField(2, &c->ciId);
    if (rc == 0) rc = m->readStringField(3, &c->name);
    if (rc == 0) rc = m->readObjectField(4, OBJ_ATTRIBUTES_ID, &attributes);
    c->attributes = static_cast<Attributes*>(attributes);
    if (rc != 0) {
        delete c;
        return -1;
    }
    *obj = c;
    return 0;
}

int CiUpdateXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const CiUpdate* u = static_cast<const CiUpdate*>(*obj);
        m->writeStringField(1, u->assetId);
        m->writeInt32Field(2, u->operation);
        m->writeStringField(3, u->source);
        m->writeStringField(4, u->collectedAt);
        return m->writeContainerField(5, OBJ_CIUPDATE_LIST_ID, u->items) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    CiUpdate* u = new CiUpdate(nullptr, 0, nullptr, nullptr);
    Translatable* items = nullptr;
    int rc = m->readStringField(1, &u->assetId);
    if (rc == 0) rc = m->readInt32Field(2, &u->operation);
    if (rc == 0) rc = m->readStringField(3, &u->source);
    if (rc == 0) rc = m->readStringField(4, &u->collectedAt);
    if (rc == 0) rc = m->readContainerField(5, OBJ_CIUPDATE_LIST_ID, &items);
    u->items = static_cast<Ci*>(items);
    if (rc != 0) {
        delete u;
        return -1;
    }
    *obj = u;
    return 0;
}

int CiUpdateEntryLXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) return encodeList(m, OBJ_CI_ID, static_cast<const Ci*>(*obj));
    return decodeList<Ci>(m, OBJ_CI_ID, obj);
}
