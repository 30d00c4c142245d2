// ExpectList: the expectations a script sets up (text expected, text to send
// back, whether the expected text is a pattern, and the text actually seen).
#ifndef DRV_DIRBASE_EXPECT_H
#define DRV_DIRBASE_EXPECT_H

#include "dirbase/translatable.h"

class MessageBase;

const unsigned int OBJ_EXPECTENTRY_ID = 2390;
const unsigned int OBJ_EXPECTLIST_ID = 2391;
const unsigned int OBJ_EXPECTLIST_LIST_ID = 2392;
const unsigned int OBJ_EXPECTLIST_NODE_ID = 2393;

class ExpectEntry : public Translatable {
public:
    // Copies the texts (each may be null).
    ExpectEntry(const char* expected, const char* send, bool isRegex, const char* actual);
    ~ExpectEntry() override;
    ExpectEntry(const ExpectEntry&) = delete;
    ExpectEntry& operator=(const ExpectEntry&) = delete;

    // { "send" : ..., "isRegex" : ..., "actual" : ... }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    char* expected;
    char* send;
    bool isRegex;
    char* actual;
};

class ExpectList : public Translatable {
public:
    class ExpectEntryList : public Translatable {
    public:
        // Takes ownership of entry.
        explicit ExpectEntryList(ExpectEntry* entry);
        // Also frees the nodes after this one.
        ~ExpectEntryList() override;
        ExpectEntryList(const ExpectEntryList&) = delete;
        ExpectEntryList& operator=(const ExpectEntryList&) = delete;

        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override;

        ExpectEntry* entry;
        ExpectEntryList* next;
    };

    ExpectList();
    ~ExpectList() override;
    ExpectList(const ExpectList&) = delete;
    ExpectList& operator=(const ExpectList&) = delete;

    // Takes ownership; adds at the end.
    void append(ExpectEntry* entry);
    int size() const;
    // The i-th entry, or null.
    ExpectEntry* get(int i) const;

    // "[" + the entries' texts joined by ", " + "]"
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    ExpectEntryList* head;
};

int ExpectEntryXlator(MessageBase* message, Translatable** obj, int direction);
int ExpectListXlator(MessageBase* message, Translatable** obj, int direction);
int ExpectListNodeXlator(MessageBase* message, Translatable** obj, int direction);
int ExpectListNodeListXlator(MessageBase* message, Translatable** obj, int direction);

#endif
