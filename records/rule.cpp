#include "records/rule.h"

#include <stdlib.h>
#include <string.h>

#include "common/os.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/build_json.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"
#include "records/record_util.h"

namespace {

// buildJSON list cursors: each call gives the next node's text.
template <class Node>
char* nextNodeText(void** cursor) {
    Node* n = static_cast<Node*>(*cursor);
    if (n == nullptr) return nullptr;
    *cursor = n->next;
    char* text = n->toString(nullptr);
    return text != nullptr ? text : strdup("null");
}

}  // namespace

Rule::Rule(const char* id, const char* name, const char* cls, const char* description, bool isTransient,
           Attributes* attributes)
    : id(dupOrNull(id)), name(dupOrNull(name)), cls(dupOrNull(cls)), description(dupOrNull(description)),
      isTransient(isTransient), attributes(attributes), hash(id != nullptr ? makeHash(id) : 0), next(nullptr) {}

Rule::~Rule() {
    free(id);
    free(name);
    free(cls);
    free(description);
    delete attributes;
    deleteChain(this);
}

char* Rule::toString(Parser*) {
    return buildJSON("ssjssbo", "id", id, "name", name, "hash", &hash, "class", cls, "description", description,
                     "transient", isTransient ? 1 : 0, "attributes", static_cast<Translatable*>(attributes));
}

RuleSet::AssetListEntry::AssetListEntry(const char* assetId) : assetId(dupOrNull(assetId)), next(nullptr) {}

RuleSet::AssetListEntry::~AssetListEntry() {
    free(assetId);
    deleteChain(this);
}

char* RuleSet::AssetListEntry::toString(Parser*) {
    if (assetId == nullptr) return strdup("null");
    size_t n = strlen(assetId);
    char* text = static_cast<char*>(malloc(n + 3));
    text[0] = '"';
    memcpy(text + 1, assetId, n);
    text[n + 1] = '"';
    text[n + 2] = '\0';
    return text;
}

RuleSet::RuleSet(const char* groupCls, const char* groupId, int level, long long lastUpdate)
    : groupCls(dupOrNull(groupCls)), groupId(dupOrNull(groupId)), level(level), rules(nullptr), assetList(nullptr),
      lastUpdate(lastUpdate), replaces(false) {}

RuleSet::~RuleSet() {
    free(groupCls);
    free(groupId);
    delete rules;
    delete assetList;
}

void RuleSet::addRule(Rule* rule) {
    Rule* last = lastOf(rules);
    if (last != nullptr)
        last->next = rule;
    else
        rules = rule;
}

void RuleSet::addAsset(const char* assetId) {
    AssetListEntry* e = new AssetListEntry(assetId);
    AssetListEntry* last = lastOf(assetList);
    if (last != nullptr)
        last->next = e;
    else
        assetList = e;
}

int RuleSet::ruleCount() const {
    int n = 0;
    for (const Rule* r = rules; r != nullptr; r = r->next) n++;
    return n;
}

int RuleSet::assetCount() const {
    int n = 0;
    for (const AssetListEntry* e = assetList; e != nullptr; e = e->next) n++;
    return n;
}

char* RuleSet::toString(Parser*) {
    return buildJSON("ssijll", "groupCls", groupCls, "groupId", groupId, "level", level, "lastUpdate", &lastUpdate,
                     "rules", static_cast<void*>(rules), nextNodeText<Rule>, "assetList",
                     static_cast<void*>(assetList), nextNodeText<AssetListEntry>);
}

int RuleXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const Rule* r = static_cast<const Rule*>(*obj);
        m->writeStringField(1, r->id);
        m->writeStringField(2, r->name);
        m->writeStringField(3, r->cls);
        m->writeStringField(4, r->description);
        m->writeBoolField(5, r->isTransient);
        return m->writeObjectField(6, OBJ_ATTRIBUTES_ID, r->attributes) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char *id = nullptr, *name = nullptr, *cls = nullptr, *description = nullptr;
    bool isTransient = false;
    Translatable* attributes = nullptr;
    if (m->readStringField(1, &id) == 0 && m->readStringField(2, &name) == 0 && m->readStringField(3, &cls) == 0 &&
        m->readStringField(4, &description) == 0 && readOptional(m, 5, &isTransient, &MessageBase::readBoolField) == 0 &&
        m->readObjectField(6, OBJ_ATTRIBUTES_ID, &attributes) == 0) {
        Rule* r = new Rule(nullptr, nullptr, nullptr, nullptr, isTransient, static_cast<Attributes*>(attributes));
        r->id = id;
        r->name = name;
        r->cls = cls;
        r->description = description;
        r->hash = id != nullptr ? makeHash(id) : 0;
        *obj = r;
        return 0;
    }
    free(id);
    free(name);
    free(cls);
    free(description);
    return -1;
}

int RuleSetXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const RuleSet* s = static_cast<const RuleSet*>(*obj);
        m->writeStringField(1, s->groupCls);
        m->writeStringField(2, s->groupId);
        m->writeInt32Field(3, s->level);
        m->writeContainerField(4, OBJ_RULESET_RULES_ID, s->rules);
        m->writeContainerField(5, OBJ_RULESET_ASSETS_ID, s->assetList);
        m->writeInt64Field(6, s->lastUpdate);
        return m->writeBoolField(7, s->replaces) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    char *groupCls = nullptr, *groupId = nullptr;
    int32_t level = 0;
    int64_t lastUpdate = 0;
    bool replaces = false;
    Translatable* rules = nullptr;
    Translatable* assets = nullptr;
    if (m->readStringField(1, &groupCls) == 0 && m->readStringField(2, &groupId) == 0 &&
        m->readInt32Field(3, &level) == 0 && m->readContainerField(4, OBJ_RULESET_RULES_ID, &rules) == 0 &&
        m->readContainerField(5, OBJ_RULESET_ASSETS_ID, &assets) == 0 && m->readInt64Field(6, &lastUpdate) == 0 &&
        readOptional(m, 7, &replaces, &MessageBase::readBoolField) == 0) {
        RuleSet* s = new RuleSet(nullptr, nullptr, level, lastUpdate);
        s->groupCls = groupCls;
        s->groupId = groupId;
        s->rules = static_cast<Rule*>(rules);
        s->assetList = static_cast<RuleSet::AssetListEntry*>(assets);
        s->replaces = replaces;
        *obj = s;
        return 0;
    }
    free(groupCls);
    free(groupId);
    delete static_cast<Rule*>(rules);
    delete static_cast<RuleSet::AssetListEntry*>(assets);
    return -1;
}

int RuleSetLXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) return encodeList(m, OBJ_RULE_ID, static_cast<const Rule*>(*obj));
    return decodeList<Rule>(m, OBJ_RULE_ID, obj);
}

int RuleSetL2Xlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return encodeList(m, OBJ_RULESET_ASSET_ID, static_cast<const RuleSet::AssetListEntry*>(*obj));
    return decodeList<RuleSet::AssetListEntry>(m, OBJ_RULESET_ASSET_ID, obj);
}

int RuleSetAssetListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE)
        return m->writeStringField(1, static_cast<const RuleSet::AssetListEntry*>(*obj)->assetId) != 0 ? -1 : 0;
    *obj = nullptr;
    char* assetId = nullptr;
    if (m->readStringField(1, &assetId) != 0) return -1;
    RuleSet::AssetListEntry* e = new RuleSet::AssetListEntry(nullptr);
    e->assetId = assetId;
    *obj = e;
    return 0;
}
