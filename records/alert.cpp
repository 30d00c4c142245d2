#include "records/alert.h"

#include <stdlib.h>
#include <string.h>

#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/build_json.h"
#include "dirbase/dir_name.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"
#include "dirbase/string_builder.h"
#include "records/record_util.h"

namespace {

const unsigned int kFirstArgumentField = 15;

void freeArguments(Any** args) {
    if (args == nullptr) return;
    for (Any** a = args; *a != nullptr; a++) delete *a;
    free(args);
}

}  // namespace

// ---- Alert --------------------------------------------------------------

Alert::Alert()
    : isEvent(false), createdBy(nullptr), createdAbout(nullptr), guid(nullptr), generation(0), level(0),
      errorCode(0), time(0), id(nullptr), exceptionMesg(nullptr), exceptionTrace(nullptr), acl(nullptr),
      attributes(nullptr), args(nullptr) {}

Alert::~Alert() {
    delete createdBy;
    delete createdAbout;
    free(guid);
    free(id);
    free(exceptionMesg);
    free(exceptionTrace);
    delete acl;
    delete attributes;
    freeArguments(args);
}

void Alert::addArgument(Any* value) {
    int n = argumentCount();
    args = static_cast<Any**>(realloc(args, sizeof(Any*) * (n + 2)));
    args[n] = value;
    args[n + 1] = nullptr;
}

int Alert::argumentCount() const {
    int n = 0;
    while (args != nullptr && args[n] != nullptr) n++;
    return n;
}

char* Alert::toString(Parser*) {
    return buildJSON("bxxsiiiisssoo", "isEvent", isEvent ? 1 : 0, "createdBy", static_cast<Translatable*>(createdBy),
                     "createdAbout", static_cast<Translatable*>(createdAbout), "guid", guid, "generation",
                     generation, "level", level, "errorCode", errorCode, "time", time, "id", id, "exceptionMesg",
                     exceptionMesg, "exceptionTrace", exceptionTrace, "acl", static_cast<Translatable*>(acl),
                     "attributes", static_cast<Translatable*>(attributes));
}

int AlertXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Alert* a = static_cast<const Alert*>(*obj);
        int n = a->argumentCount();
        if (n > Alert::kMaxArguments) return -1;
        m->writeBoolField(1, a->isEvent);
        m->writeObjectField(2, OBJ_DIRNAME_ID, a->createdBy);
        m->writeObjectField(3, OBJ_DIRNAME_ID, a->createdAbout);
        m->writeStringField(4, a->guid);
        m->writeInt32Field(5, a->generation);
        m->writeInt32Field(6, a->level);
        m->writeInt32Field(7, a->errorCode);
        m->writeInt32Field(8, a->time);
        m->writeStringField(9, a->id);
        m->writeStringField(10, a->exceptionMesg);
        m->writeStringField(11, a->exceptionTrace);
        m->writeObjectField(12, OBJ_ACL_ID, a->acl);
        m->writeObjectField(13, OBJ_ATTRIBUTES_ID, a->attributes);
        m->writeInt32Field(14, n);
        for (int i = 0; i < n; i++) m->writeObjectField(kFirstArgumentField + i, OBJ_ANY_ID, a->args[i]);
        return m->getError() != 0 ? -1 : 0;
    }
    *obj = nullptr;
    Alert* a = new Alert();
    Translatable *by = nullptr, *about = nullptr, *acl = nullptr, *attributes = nullptr;
    int32_t n = 0;
    int rc = m->readBoolField(1, &a->isEvent);
    if (rc == 0) rc = m->readObjectField(2, OBJ_DIRNAME_ID, &by);
    a->createdBy = static_cast<DirName*>(by);
    if (rc == 0) rc = m->readObjectField(3, OBJ_DIRNAME_ID, &about);
    a->createdAbout = static_cast<DirName*>(about);
    if (rc == 0) rc = m->readStringField(4, &a->guid);
    if (rc == 0) rc = m->readInt32Field(5, &a->generation);
    if (rc == 0) rc = m->readInt32Field(6, &a->level);
    if (rc == 0) rc = m->readInt32Field(7, &a->errorCode);
    if (rc == 0) rc = m->readInt32Field(8, &a->time);
    if (rc == 0) rc = m->readStringField(9, &a->id);
    if (rc == 0) rc = m->readStringField(10, &a->exceptionMesg);
    if (rc == 0) rc = m->readStringField(11, &a->exceptionTrace);
    if (rc == 0) rc = m->readObjectField(12, OBJ_ACL_ID, &acl);
    a->acl = static_cast<Acl*>(acl);
    if (rc == 0) rc = m->readObjectField(13, OBJ_ATTRIBUTES_ID, &attributes);
    a->attributes = static_cast<Attributes*>(attributes);
    if (rc == 0) rc = m->readInt32Field(14, &n);
    if (rc == 0 && (n < 0 || n > Alert::kMaxArguments)) rc = -1;
    if (rc == 0 && n > 0) {
        a->args = static_cast<Any**>(calloc(n + 1, sizeof(Any*)));
        for (int i = 0; i < n && rc == 0; i++) {
            Translatable* value = nullptr;
            rc = m->readObjectField(kFirstArgumentField + i, OBJ_ANY_ID, &value);
            // A null slot would end the array early: it reads as a null value.
            a->args[i] = value != nullptr ? static_cast<Any*>(value) : new Any();
        }
    }
    if (rc != 0) {
        delete a;
        return -1;
    }
    *obj = a;
    return 0;
}

// ---- UserPrompt -----------------------------------------------------------

UserPrompt::Entry::Entry(const char* label, const char* defaultValue, bool secret, const char* answer)
    : label(dupOrNull(label)), defaultValue(dupOrNull(defaultValue)), secret(secret), answer(dupOrNull(answer)),
      next(nullptr) {}

UserPrompt::Entry::~Entry() {
    free(label);
    free(defaultValue);
    free(answer);
    deleteChain(this);
}

char* UserPrompt::Entry::toString(Parser*) {
    return buildJSON("ssbs", "label", label, "default", defaultValue, "secret", secret ? 1 : 0, "answer",
                     secret ? nullptr : answer);
}

UserPrompt::UserPrompt(const char* title) : title(dupOrNull(title)), entries(nullptr) {}

UserPrompt::~UserPrompt() {
    free(title);
    delete entries;
}

void UserPrompt::addEntry(const char* label, const char* defaultValue, bool secret, const char* answer) {
    Entry* e = new Entry(label, defaultValue, secret, answer);
    Entry* last = lastOf(entries);
    if (last != nullptr)
        last->next = e;
    else
        entries = e;
}

int UserPrompt::entryCount() const {
    int n = 0;
    for (const Entry* e = entries; e != nullptr; e = e->next) n++;
    return n;
}

char* UserPrompt::toString(Parser* parser) {
    char* list = joinNodeTexts(entries, parser, "[", ", ", "]");
    char* head = buildJSON("s", "title", title);
    // head is "{ ... }": the entries go in before its closing brace.
    StringBuilder out;
    out.append(head, strlen(head) - 2);
    out.append(", \"entries\" : ");
    out.append(list);
    out.append(" }");
    free(head);
    free(list);
    return out.take();
}

int UserPromptXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const UserPrompt* p = static_cast<const UserPrompt*>(*obj);
        m->writeStringField(1, p->title);
        return m->writeContainerField(2, OBJ_USERPROMPT_LIST_ID, p->entries) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char* title = nullptr;
    Translatable* entries = nullptr;
    if (m->readStringField(1, &title) != 0 || m->readContainerField(2, OBJ_USERPROMPT_LIST_ID, &entries) != 0) {
        free(title);
        return -1;
    }
    UserPrompt* p = new UserPrompt(nullptr);
    p->title = title;
    p->entries = static_cast<UserPrompt::Entry*>(entries);
    *obj = p;
    return 0;
}

int UserPromptListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_USERPROMPT_ENTRY_ID, static_cast<const UserPrompt::Entry*>(*obj));
    return decodeList<UserPrompt::Entry>(m, OBJ_USERPROMPT_ENTRY_ID, obj);
}

int UserPromptEntryXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const UserPrompt::Entry* e = static_cast<const UserPrompt::Entry*>(*obj);
        m->writeStringField(1, e->label);
        m->writeStringField(2, e->defaultValue);
        m->writeBoolField(3, e->secret);
        return m->writeStringField(4, e->answer) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    UserPrompt::Entry* e = new UserPrompt::Entry(nullptr, nullptr, false, nullptr);
    if (m->readStringField(1, &e->label) != 0 || m->readStringField(2, &e->defaultValue) != 0 ||
        m->readBoolField(3, &e->secret) != 0 || m->readStringField(4, &e->answer) != 0) {
        delete e;
        return -1;
    }
    *obj = e;
    return 0;
}

// ---- DrvEvent -------------------------------------------------------------

namespace {

struct EventText {
    unsigned char number;
    char* DrvEvent::*member;
};

// The text fields of an event by number. The first six identify the event
// and must be present; every later field keeps its default when absent.
const EventText kEventTexts[] = {
    {1, &DrvEvent::id},          {2, &DrvEvent::eventType},     {3, &DrvEvent::source},
    {4, &DrvEvent::sourceClass}, {5, &DrvEvent::subject},       {6, &DrvEvent::message},
    {9, &DrvEvent::host},        {10, &DrvEvent::application},  {12, &DrvEvent::category},
    {18, &DrvEvent::dispatchedBy}, {19, &DrvEvent::workflowName},
};
const unsigned char kLastRequiredEventField = 6;

bool readEventObject(MessageBase* m, unsigned int field, unsigned int id, Translatable** out) {
    if (!m->hasField(field)) return m->getError() == 0;
    return m->readObjectField(field, id, out) == 0;
}

}  // namespace

DrvEvent::DrvEvent()
    : id(nullptr), eventType(nullptr), source(nullptr), sourceClass(nullptr), subject(nullptr), message(nullptr),
      principal(nullptr), prompt(nullptr), host(nullptr), application(nullptr), severity(0), category(nullptr),
      priority(0), handled(false), payloadId(0), payload(nullptr), payloadBytes(nullptr), payloadLength(0),
      attributes(nullptr), dispatchedBy(nullptr), workflowName(nullptr) {}

DrvEvent::~DrvEvent() {
    for (const EventText& t : kEventTexts) free(this->*t.member);
    delete principal;
    delete prompt;
    delete payload;
    free(payloadBytes);
    delete attributes;
}

void DrvEvent::setPayload(unsigned int objectId, Translatable* object) {
    delete payload;
    free(payloadBytes);
    payloadBytes = nullptr;
    payloadLength = 0;
    payload = object;
    payloadId = object != nullptr ? objectId : 0;
}

char* DrvEvent::toString(Parser* parser) {
    const char* payloadClass = payload != nullptr ? payload->getClassOf(parser)
                               : payloadBytes != nullptr ? "encoded"
                                                         : nullptr;
    return buildJSON("ssssssoossssiiosso", "id", id, "eventType", eventType, "source", source, "sourceClass",
                     sourceClass, "subject", subject, "message", message, "principal", principal, "prompt",
                     static_cast<Translatable*>(prompt), "host", host, "application", application, "category",
                     category, "dispatchedBy", dispatchedBy, "severity", severity, "priority", priority, "payload",
                     payload, "workflowName", workflowName, "payloadClass", payloadClass, "attributes",
                     static_cast<Translatable*>(attributes));
}

int DrvEventXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const DrvEvent* e = static_cast<const DrvEvent*>(*obj);
        for (int i = 0; i < 6; i++) m->writeStringField(kEventTexts[i].number, e->*kEventTexts[i].member);
        m->writeObjectField(7, OBJ_EVENT_PRINCIPAL_ID, e->principal);
        m->writeObjectField(8, OBJ_USERPROMPT_ID, e->prompt);
        m->writeStringField(9, e->host);
        m->writeStringField(10, e->application);
        m->writeInt32Field(11, e->severity);
        m->writeStringField(12, e->category);
        m->writeInt32Field(13, e->priority);
        m->writeBoolField(14, e->handled);
        if (e->payload != nullptr) {
            m->writeInt32Field(15, static_cast<int32_t>(e->payloadId));
            m->writeObjectField(16, e->payloadId, e->payload);
        } else if (e->payloadBytes != nullptr) {
            m->writeInt32Field(15, static_cast<int32_t>(e->payloadId));
            m->writeOpaqueObjectField(16, e->payloadBytes, e->payloadLength);
        } else {
            m->writeInt32Field(15, 0);
            m->writeObjectField(16, OBJ_DRVEVENT_ID, nullptr);
        }
        m->writeObjectField(17, OBJ_ATTRIBUTES_ID, e->attributes);
        m->writeStringField(18, e->dispatchedBy);
        m->writeStringField(19, e->workflowName);
        return m->getError() != 0 ? -1 : 0;
    }
    *obj = nullptr;
    DrvEvent* e = new DrvEvent();
    bool ok = true;
    for (const EventText& t : kEventTexts) {
        if (t.number > kLastRequiredEventField && !m->hasField(t.number)) continue;
        if (m->readStringField(t.number, &(e->*t.member)) != 0) {
            ok = false;
            break;
        }
    }
    Translatable *principal = nullptr, *prompt = nullptr, *attributes = nullptr;
    ok = ok && readEventObject(m, 7, OBJ_EVENT_PRINCIPAL_ID, &principal);
    e->principal = principal;
    ok = ok && readEventObject(m, 8, OBJ_USERPROMPT_ID, &prompt);
    e->prompt = static_cast<UserPrompt*>(prompt);
    ok = ok && readOptional(m, 11, &e->severity, &MessageBase::readInt32Field) == 0;
    ok = ok && readOptional(m, 13, &e->priority, &MessageBase::readInt32Field) == 0;
    ok = ok && readOptional(m, 14, &e->handled, &MessageBase::readBoolField) == 0;
    int32_t payloadId = 0;
    ok = ok && readOptional(m, 15, &payloadId, &MessageBase::readInt32Field) == 0;
    if (ok && m->hasField(16)) {
        unsigned int id = static_cast<unsigned int>(payloadId);
        if (id == 0) {
            // Only "no payload" is acceptable here: a null object.
            Translatable* none = nullptr;
            ok = m->readObjectField(16, OBJ_DRVEVENT_ID, &none) == 0 && none == nullptr;
            delete none;
        } else if (MessageBase::findXlatorFn(id) != nullptr) {
            ok = m->readObjectField(16, id, &e->payload) == 0;
            if (e->payload != nullptr) e->payloadId = id;
        } else {
            unsigned int found = 0;
            ok = m->readOpaqueObjectField(16, &found, &e->payloadBytes, &e->payloadLength) == 0 &&
                 (e->payloadBytes == nullptr || found == id);
            if (e->payloadBytes != nullptr) e->payloadId = id;
        }
    }
    ok = ok && readEventObject(m, 17, OBJ_ATTRIBUTES_ID, &attributes);
    e->attributes = static_cast<Attributes*>(attributes);
    if (!ok) {
        delete e;
        return -1;
    }
    *obj = e;
    return 0;
}
