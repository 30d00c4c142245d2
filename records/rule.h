// Rule and RuleSet: the rule sets that a managing server pushes to an agent.
// A rule is one check with its attributes; a rule set groups rules for one
// group of assets (its class and id, a level, the assets it applies to and
// when it last changed).
//
// Ownership: strings and nested objects belong to the record holding them.
// Rules and asset list entries are chained through `next`; deleting the
// head of a chain deletes the whole chain. Thread-safety: none; a record
// belongs to one thread at a time.
#ifndef DRV_RECORDS_RULE_H
#define DRV_RECORDS_RULE_H

#include "dirbase/translatable.h"
#include "records/records.h"

class Attributes;
class MessageBase;

class Rule : public Translatable {
public:
    // Copies the texts; takes ownership of attributes (may be null). The
    // hash is computed from id.
    Rule(const char* id, const char* name, const char* cls, const char* description, bool isTransient,
         Attributes* attributes);
    // Also deletes the rules after this one.
    ~Rule() override;
    Rule(const Rule&) = delete;
    Rule& operator=(const Rule&) = delete;

    // { "id", "name", "hash", "class", "description", "transient", "attributes" }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_RULE_ID; }

    char* id;
    char* name;
    char* cls;
    char* description;
    bool isTransient;
    Attributes* attributes;
    // makeHash of id, kept beside it.
    long long hash;
    Rule* next;
};

class RuleSet : public Translatable {
public:
    class AssetListEntry : public Translatable {
    public:
        explicit AssetListEntry(const char* assetId);
        // Also deletes the entries after this one.
        ~AssetListEntry() override;
        AssetListEntry(const AssetListEntry&) = delete;
        AssetListEntry& operator=(const AssetListEntry&) = delete;

        // The asset id in double quotes, or null.
        char* toString(Parser* parser) override;
        unsigned int getObjectID() const override { return OBJ_RULESET_ASSET_ID; }

        char* assetId;
        AssetListEntry* next;
    };

    // Copies the texts; no rules, no assets.
    RuleSet(const char* groupCls, const char* groupId, int level, long long lastUpdate);
    ~RuleSet() override;
    RuleSet(const RuleSet&) = delete;
    RuleSet& operator=(const RuleSet&) = delete;

    // Take ownership; appended at the end.
    void addRule(Rule* rule);
    void addAsset(const char* assetId);
    int ruleCount() const;
    int assetCount() const;

    // { "groupCls", "groupId", "level", "lastUpdate", "rules" : [...], "assetList" : [...] }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_RULESET_ID; }

    char* groupCls;
    char* groupId;
    int level;
    Rule* rules;
    AssetListEntry* assetList;
    long long lastUpdate;
    // Field 7, carried on the wire only: the set replaces every earlier set
    // of its group rather than adding to it.
    bool replaces;
};

int RuleXlator(MessageBase* message, Translatable** obj, int direction);
int RuleSetXlator(MessageBase* message, Translatable** obj, int direction);
// The container of a rule set's rules (2606).
int RuleSetLXlator(MessageBase* message, Translatable** obj, int direction);
// The container of a rule set's asset list (2607).
int RuleSetL2Xlator(MessageBase* message, Translatable** obj, int direction);
// One asset list entry (2608).
int RuleSetAssetListXlator(MessageBase* message, Translatable** obj, int direction);

#endif
