// The records of the alert and event messages: Alert (an alert or event
// raised about an object, with its arguments), DrvEvent (an event dispatched
// to a workflow, which may carry a principal, a user prompt and one nested
// object of any class) and UserPrompt (the questions a dispatched event puts
// to a user, with their answers).
//
// Ownership: strings, nested objects and argument values belong to the
// record holding them. Prompt entries are chained through `next`; deleting
// the head deletes the chain. Thread-safety: none; a record belongs to one
// thread at a time.
#ifndef DRV_RECORDS_ALERT_H
#define DRV_RECORDS_ALERT_H

#include <stddef.h>

#include "dirbase/translatable.h"
#include "records/records.h"

class Acl;
class Any;
class Attributes;
class DirName;
class MessageBase;

class Alert : public Translatable {
public:
    // Field numbers are one byte and the arguments start at 15.
    static const int kMaxArguments = 255 - 14;

    // Everything empty; the fields are set directly.
    Alert();
    ~Alert() override;
    Alert(const Alert&) = delete;
    Alert& operator=(const Alert&) = delete;

    // Takes ownership of value; appended after the last argument.
    void addArgument(Any* value);
    int argumentCount() const;

    // "bxxsiiiisssoo": every named field; the arguments are not rendered.
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_ALERT_ID; }

    bool isEvent;
    DirName* createdBy;
    DirName* createdAbout;
    char* guid;
    int generation;
    int level;
    int errorCode;
    int time;
    char* id;
    char* exceptionMesg;
    char* exceptionTrace;
    Acl* acl;
    Attributes* attributes;
    // Null-terminated; null when there are none.
    Any** args;
};

class UserPrompt : public Translatable {
public:
    class Entry : public Translatable {
    public:
        // Copies the texts.
        Entry(const char* label, const char* defaultValue, bool secret, const char* answer);
        // Also deletes the entries after this one.
        ~Entry() override;
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        // { "label", "default", "secret", "answer" }; a secret answer is
        // never rendered (null).
        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override { return OBJ_USERPROMPT_ENTRY_ID; }

        char* label;
        char* defaultValue;
        bool secret;
        char* answer;
        Entry* next;
    };

    explicit UserPrompt(const char* title);
    ~UserPrompt() override;
    UserPrompt(const UserPrompt&) = delete;
    UserPrompt& operator=(const UserPrompt&) = delete;

    // Appended at the end.
    void addEntry(const char* label, const char* defaultValue, bool secret, const char* answer);
    int entryCount() const;

    // { "title", "entries" : [...] }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_USERPROMPT_ID; }

    char* title;
    Entry* entries;
};

class DrvEvent : public Translatable {
public:
    // Every field empty.
    DrvEvent();
    ~DrvEvent() override;
    DrvEvent(const DrvEvent&) = delete;
    DrvEvent& operator=(const DrvEvent&) = delete;

    // Takes ownership of object (may be null) as the nested payload under id.
    void setPayload(unsigned int id, Translatable* object);

    // "ssssssoossssiiosso": the texts, the principal and prompt, the
    // counters, the payload with its class name, and the attributes.
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_DRVEVENT_ID; }

    char* id;           // 1
    char* eventType;    // 2
    char* source;       // 3
    char* sourceClass;  // 4
    char* subject;      // 5
    char* message;      // 6
    // 7: encoded under id 7 by the principal translator (dir's Principal).
    Translatable* principal;
    UserPrompt* prompt;  // 8
    char* host;          // 9
    char* application;   // 10
    int severity;        // 11
    char* category;      // 12
    int priority;        // 13
    bool handled;        // 14: carried on the wire only
    // 15 and 16: the payload's object id (0 for none) and the payload. A
    // payload of a class this process has no translator for is kept in its
    // encoded form (payloadBytes) and written back unchanged.
    unsigned int payloadId;
    Translatable* payload;
    unsigned char* payloadBytes;
    size_t payloadLength;
    Attributes* attributes;  // 17
    char* dispatchedBy;      // 18
    char* workflowName;      // 19
};

int AlertXlator(MessageBase* message, Translatable** obj, int direction);
int DrvEventXlator(MessageBase* message, Translatable** obj, int direction);
int UserPromptXlator(MessageBase* message, Translatable** obj, int direction);
// The container of a prompt's entries (2401) and one entry (2402).
int UserPromptListXlator(MessageBase* message, Translatable** obj, int direction);
int UserPromptEntryXlator(MessageBase* message, Translatable** obj, int direction);

#endif
