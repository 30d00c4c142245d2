// A file transfer (Ft) is a list of transactions (FtTransaction), each
// copying one source path to one destination path on the peer. This header
// holds the records and their encodings; the engine that runs them is
// ft/ft.h, the filters that select entries ft/ft_filter.h.
//
// Object ids: 2101 transaction, 2102/2103/2104 owner (U), group (G) and mode
// (M) items with their lists 2105/2106/2107, 2108 the list of transactions,
// 2109 the Ft itself, 2111 the list of filters, 2112 a filter. Registered by
// ft_registerTranslators().
//
// Ownership: a transaction owns its strings and lists (deleting a list's
// head deletes the list); an Ft owns its transactions.
//
// Thread-safety: a transaction belongs to the thread that runs it; nothing
// here is shared.
#ifndef DRV_FT_FT_TRANSACTION_H
#define DRV_FT_FT_TRANSACTION_H

#include <map>
#include <string>
#include <vector>

#include "dirbase/translatable.h"

const unsigned int OBJ_FT_TRANSACTION_ID = 2101;
const unsigned int OBJ_FT_OWNER_ITEM_ID = 2102;
const unsigned int OBJ_FT_GROUP_ITEM_ID = 2103;
const unsigned int OBJ_FT_MODE_ITEM_ID = 2104;
const unsigned int OBJ_FT_OWNER_LIST_ID = 2105;
const unsigned int OBJ_FT_GROUP_LIST_ID = 2106;
const unsigned int OBJ_FT_MODE_LIST_ID = 2107;
const unsigned int OBJ_FT_TRANSACTION_LIST_ID = 2108;
const unsigned int OBJ_FT_ID = 2109;
const unsigned int OBJ_FT_FILTER_LIST_ID = 2111;
const unsigned int OBJ_FT_FILTER_ID = 2112;

void ft_registerTranslators();

class FtTransaction : public Translatable {
public:
    // One path filter: an action (1 include, 2 exclude, 3 protect) and a
    // pattern (ft/ft_filter.h). Encoded: field 1 action, field 2 pattern.
    class FilterEntry : public Translatable {
    public:
        FilterEntry(int action, const char* pattern);
        ~FilterEntry() override;
        FilterEntry(const FilterEntry&) = delete;
        FilterEntry& operator=(const FilterEntry&) = delete;
        unsigned int getObjectID() const override { return OBJ_FT_FILTER_ID; }
        char* toString(Parser* parser) override;

        int action;
        char* pattern;
        FilterEntry* next;
    };

    // A pattern with an owner, group or mode for the entries it matches
    // (first match wins). Encoded: field 1 pattern, field 2 value (string
    // for owner and group, int32 for mode).
    class Item : public Translatable {
    public:
        Item(unsigned int id, const char* pattern, const char* text, int mode);
        ~Item() override;
        Item(const Item&) = delete;
        Item& operator=(const Item&) = delete;
        unsigned int getObjectID() const override { return _id; }
        char* toString(Parser* parser) override;

        char* pattern;
        char* text;
        int mode;
        Item* next;

    private:
        unsigned int _id;
    };

    FtTransaction();
    ~FtTransaction() override;
    FtTransaction(const FtTransaction&) = delete;
    FtTransaction& operator=(const FtTransaction&) = delete;
    unsigned int getObjectID() const override { return OBJ_FT_TRANSACTION_ID; }
    char* toString(Parser* parser) override;

    void setSource(const char* path);
    void setDestination(const char* path);
    void setOptionText(const char* text);
    void setIndexName(const char* name);
    void setMode(const char* pattern, int mode);
    void setOwner(const char* pattern, const char* owner);
    void setGroup(const char* pattern, const char* group);
    // Appends a filter (order matters: the first match wins).
    void addFilter(int action, const char* pattern);
    // Items "suffix/seconds" separated by commas.
    void setStableTime(const char* spec);
    // Bandwidth in kbit/s from value and unit (1 kbit/s, 2 Mbit/s, 3 Gbit/s),
    // or 0 for none.
    double bandwidthKbps() const;
    // The deflate level of a file (its name after the last "/").
    int compressionFor(const char* name) const;
    // Seconds a file must have rested (0 when no stable-time item applies).
    int stableSecondsFor(const char* name) const;
    // The overriding owner / group / mode for a relative name, or null / -1.
    const char* ownerFor(const char* name) const;
    const char* groupFor(const char* name) const;
    int modeFor(const char* name) const;

    // Encoded fields (their numbers).
    char* source = nullptr;          // 1
    char* destination = nullptr;     // 2
    int compression = 3;             // 3
    bool recursive = true;           // 4
    char* optionText = nullptr;      // 5
    Item* modes = nullptr;           // 6
    Item* owners = nullptr;          // 7
    Item* groups = nullptr;          // 8
    bool modifiedOnly = false;       // 9
    bool removeMissing = false;      // 10
    bool useRecvStart2 = false;      // 11
    bool createDest = false;         // 12
    bool flag13 = false;             // 13, carried
    char* indexName = nullptr;       // 14
    float bandwidth = 0;             // 15
    int bandwidthUnit = 0;           // 16
    FilterEntry* filters = nullptr;  // 17
    bool linkKeepInTree = true;      // 18: send links whose target stays inside the tree
    bool linkFollowOutside = false;  // 19: send the file a link outside the tree points to instead
    bool linkAllowOutside = false;   // 20: keep links leaving the tree (never leaving the jail)
    bool keepBackups = false;        // 21
    bool move = false;               // 22
    bool noKeepBackups = false;      // 23
    int algorithm = 0;               // 24
    bool indexMd5 = false;           // 25
    bool flag26 = false;             // 26, carried

    // The next transaction of an Ft.
    FtTransaction* next = nullptr;

    // Run state (not encoded).
    char* stableTime = nullptr;
    // Files that changed while being read: relative name -> local path.
    std::vector<std::pair<std::string, std::string>> retryList;
    // Digests received for them (the answer to the last checksum request;
    // only the thread that runs the transaction touches it).
    std::map<std::string, std::string> checksums;
};

#endif
