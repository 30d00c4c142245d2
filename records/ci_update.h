// Configuration-item updates: a CiUpdate reports, for one asset, a batch of
// configuration items (Ci: class, id and name with their attributes)
// collected from one source.
//
// Ownership: strings and attributes belong to the record holding them;
// items are chained through `next` and deleting the head deletes the chain.
// Thread-safety: none; a record belongs to one thread at a time.
#ifndef DRV_RECORDS_CI_UPDATE_H
#define DRV_RECORDS_CI_UPDATE_H

#include "dirbase/translatable.h"
#include "records/records.h"

class Attributes;
class MessageBase;

class Ci : public Translatable {
public:
    // Copies the texts; takes ownership of attributes (may be null).
    Ci(const char* ciClass, const char* ciId, const char* name, Attributes* attributes);
    // Also deletes the items after this one.
    ~Ci() override;
    Ci(const Ci&) = delete;
    Ci& operator=(const Ci&) = delete;

    // { "ciClass", "ciId", "name", "attributes" }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_CI_ID; }

    char* ciClass;           // 1
    char* ciId;              // 2
    char* name;              // 3
    Attributes* attributes;  // 4
    Ci* next;
};

class CiUpdate : public Translatable {
public:
    // What an update does with the items it carries.
    enum Operation { OP_MERGE = 0, OP_REPLACE = 1, OP_DELETE = 2 };

    // Copies the texts; no items.
    CiUpdate(const char* assetId, int operation, const char* source, const char* collectedAt);
    ~CiUpdate() override;
    CiUpdate(const CiUpdate&) = delete;
    CiUpdate& operator=(const CiUpdate&) = delete;

    // Takes ownership; appended at the end.
    void addItem(Ci* item);
    int itemCount() const;

    // { "assetId", "operation", "source", "collectedAt", "items" : [...] }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_CIUPDATE_ID; }

    char* assetId;      // 1
    int operation;      // 2
    char* source;       // 3
    char* collectedAt;  // 4
    Ci* items;          // 5: container 4883
};

int CiXlator(MessageBase* message, Translatable** obj, int direction);
int CiUpdateXlator(MessageBase* message, Translatable** obj, int direction);
// The container of an update's items (4883).
int CiUpdateEntryLXlator(MessageBase* message, Translatable** obj, int direction);

#endif
