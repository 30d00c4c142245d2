#include "ft/ft_transaction.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "dirbase/build_json.h"
#include "dirbase/list_xlator.h"
#include "dirbase/message.h"
#include "ft/ft.h"
#include "ft/ft_filter.h"

namespace {

char* dup(const char* s) { return s != nullptr ? strdup(s) : nullptr; }

void replace(char** field, const char* value) {
    free(*field);
    *field = dup(value);
}

struct CompressionEntry {
    const char* extension;
    int level;
};

// Already compressed formats gain nothing from deflate; text gains most.
const CompressionEntry _cte[] = {{".zip", 0}, {".gz", 0},   {".tgz", 0},  {".tbz", 0},  {".gif", 0},
                                 {".bzip", 0}, {".bz2", 0}, {".png", 0},  {".jpg", 0},  {".jpeg", 0},
                                 {".mp3", 0}, {".mp4", 0},  {".iso", 9},  {".tiff", 7}, {".txt", 8},
                                 {".shar", 2}, {".z", 0},   {".c", 8},    {".h", 8},    {".zst", 0}};

template <class T>
void append(T** head, T* item) {
    T** at = head;
    while (*at != nullptr) at = &(*at)->next;
    *at = item;
}

const FtTransaction::Item* firstMatch(const FtTransaction::Item* items, const char* name) {
    for (const FtTransaction::Item* i = items; i != nullptr; i = i->next)
        if (i->pattern != nullptr && zephan_match(i->pattern, name)) return i;
    return nullptr;
}

}  // namespace

FtTransaction::FilterEntry::FilterEntry(int a, const char* p) : action(a), pattern(dup(p)), next(nullptr) {}

FtTransaction::FilterEntry::~FilterEntry() {
    free(pattern);
    deleteChain(this);
}

char* FtTransaction::FilterEntry::toString(Parser*) {
    return buildJSON("is", "action", action, "pattern", pattern);
}

FtTransaction::Item::Item(unsigned int id, const char* p, const char* t, int m)
    : pattern(dup(p)), text(dup(t)), mode(m), next(nullptr), _id(id) {}

FtTransaction::Item::~Item() {
    free(pattern);
    free(text);
    deleteChain(this);
}

char* FtTransaction::Item::toString(Parser*) {
    return buildJSON("ssi", "pattern", pattern, "value", text, "mode", mode);
}

FtTransaction::FtTransaction() {}

FtTransaction::~FtTransaction() {
    free(source);
    free(destination);
    free(optionText);
    free(indexName);
    free(stableTime);
    delete modes;
    delete owners;
    delete groups;
    delete filters;
    deleteChain(this);
}

char* FtTransaction::toString(Parser*) {
    return buildJSON("ssiibbbi", "source", source, "destination", destination, "compression", compression,
                     "algorithm", algorithm, "modifiedOnly", modifiedOnly ? 1 : 0, "removeMissing",
                     removeMissing ? 1 : 0, "move", move ? 1 : 0, "bandwidthUnit", bandwidthUnit);
}

void FtTransaction::setSource(const char* path) { replace(&source, path); }
void FtTransaction::setDestination(const char* path) { replace(&destination, path); }
void FtTransaction::setOptionText(const char* text) { replace(&optionText, text); }
void FtTransaction::setIndexName(const char* name) { replace(&indexName, name); }
void FtTransaction::setStableTime(const char* spec) { replace(&stableTime, spec); }
void FtTransaction::setMode(const char* pattern, int mode) {
    append(&modes, new Item(OBJ_FT_MODE_ITEM_ID, pattern, nullptr, mode));
}
void FtTransaction::setOwner(const char* pattern, const char* owner) {
    append(&owners, new Item(OBJ_FT_OWNER_ITEM_ID, pattern, owner, 0));
}
void FtTransaction::setGroup(const char* pattern, const char* group) {
    append(&groups, new Item(OBJ_FT_GROUP_ITEM_ID, pattern, group, 0));
}
void FtTransaction::addFilter(int action, const char* pattern) { append(&filters, new FilterEntry(action, pattern)); }

double FtTransaction::bandwidthKbps() const {
    switch (bandwidthUnit) {
        case 1: return bandwidth;
        case 2: return static_cast<double>(bandwidth) * 1000.0;
        case 3: return static_cast<double>(bandwidth) * 1000000.0;
        default: return 0;
    }
}

int FtTransaction::compressionFor(const char* name) const {
    const char* base = strrchr(name, '/');
    base = base != nullptr ? base + 1 : name;
    const char* dot = strrchr(base, '.');
    if (dot != nullptr) {
        for (const CompressionEntry& e : _cte)
            if (strcasecmp(e.extension, dot) == 0) return e.level;
        return 3;
    }
    return compression >= 0 && compression <= 9 ? compression : 3;
}

int FtTransaction::stableSecondsFor(const char* name) const {
    if (stableTime == nullptr) return 0;
    std::string spec(stableTime);
    size_t nameLen = strlen(name);
    size_t start = 0;
    while (start <= spec.size()) {
        size_t comma = spec.find(',', start);
        std::string item = spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t slash = item.rfind('/');
        if (slash != std::string::npos) {
            std::string suffix = item.substr(0, slash);
            if (suffix.size() <= nameLen && strcmp(name + nameLen - suffix.size(), suffix.c_str()) == 0) {
                int secs = atoi(item.c_str() + slash + 1);
                return secs < 0 ? 0 : secs;
            }
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return 0;
}

const char* FtTransaction::ownerFor(const char* name) const {
    const Item* i = firstMatch(owners, name);
    return i != nullptr ? i->text : nullptr;
}
const char* FtTransaction::groupFor(const char* name) const {
    const Item* i = firstMatch(groups, name);
    return i != nullptr ? i->text : nullptr;
}
int FtTransaction::modeFor(const char* name) const {
    const Item* i = firstMatch(modes, name);
    return i != nullptr ? i->mode : -1;
}

// ---- translators ------------------------------------------------------------

namespace {

// Optional fields keep their defaults when missing.
template <class F>
void optional(MessageBase* m, F read) {
    if (read() != 0) m->recover();
}

int FilterEntryXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        auto* f = static_cast<FtTransaction::FilterEntry*>(*obj);
        m->writeInt32Field(1, f->action);
        m->writeStringField(2, f->pattern);
        return m->getError() != 0 ? -1 : 0;
    }
    int32_t action = 0;
    char* pattern = nullptr;
    if (m->readInt32Field(1, &action) != 0 || m->readStringField(2, &pattern) != 0) return -1;
    *obj = new FtTransaction::FilterEntry(action, pattern);
    free(pattern);
    return 0;
}

template <unsigned int Id>
int ItemXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        auto* i = static_cast<FtTransaction::Item*>(*obj);
        m->writeStringField(1, i->pattern);
        if (Id == OBJ_FT_MODE_ITEM_ID) m->writeInt32Field(2, i->mode);
        else m->writeStringField(2, i->text);
        return m->getError() != 0 ? -1 : 0;
    }
    char* pattern = nullptr;
    char* text = nullptr;
    int32_t mode = 0;
    if (m->readStringField(1, &pattern) != 0) return -1;
    int rc = Id == OBJ_FT_MODE_ITEM_ID ? m->readInt32Field(2, &mode) : m->readStringField(2, &text);
    if (rc != 0) {
        free(pattern);
        return -1;
    }
    *obj = new FtTransaction::Item(Id, pattern, text, mode);
    free(pattern);
    free(text);
    return 0;
}

template <class Node, unsigned int NodeId>
int ListXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) return encodeList<Node>(m, NodeId, static_cast<const Node*>(*obj));
    return decodeList<Node>(m, NodeId, obj);
}

int TransactionXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        auto* t = static_cast<FtTransaction*>(*obj);
        m->writeStringField(1, t->source);
        m->writeStringField(2, t->destination);
        m->writeInt32Field(3, t->compression);
        m->writeBoolField(4, t->recursive);
        m->writeStringField(5, t->optionText);
        if (t->modes != nullptr) m->writeContainerField(6, OBJ_FT_MODE_LIST_ID, t->modes);
        if (t->owners != nullptr) m->writeContainerField(7, OBJ_FT_OWNER_LIST_ID, t->owners);
        if (t->groups != nullptr) m->writeContainerField(8, OBJ_FT_GROUP_LIST_ID, t->groups);
        m->writeBoolField(9, t->modifiedOnly);
        m->writeBoolField(10, t->removeMissing);
        m->writeBoolField(11, t->useRecvStart2);
        m->writeBoolField(12, t->createDest);
        m->writeBoolField(13, t->flag13);
        m->writeStringField(14, t->indexName);
        m->writeFloatField(15, t->bandwidth);
        m->writeInt32Field(16, t->bandwidthUnit);
        if (t->filters != nullptr) m->writeContainerField(17, OBJ_FT_FILTER_LIST_ID, t->filters);
        m->writeBoolField(18, t->linkKeepInTree);
        m->writeBoolField(19, t->linkFollowOutside);
        m->writeBoolField(20, t->linkAllowOutside);
        m->writeBoolField(21, t->keepBackups);
        m->writeBoolField(22, t->move);
        m->writeBoolField(23, t->noKeepBackups);
        m->writeInt32Field(24, t->algorithm);
        m->writeBoolField(25, t->indexMd5);
        m->writeBoolField(26, t->flag26);
        return m->getError() != 0 ? -1 : 0;
    }
    FtTransaction* t = new FtTransaction;
    optional(m, [&] { return m->readStringField(1, &t->source); });
    optional(m, [&] { return m->readStringField(2, &t->destination); });
    optional(m, [&] { return m->readInt32Field(3, &t->compression); });
    optional(m, [&] { return m->readBoolField(4, &t->recursive); });
    optional(m, [&] { return m->readStringField(5, &t->optionText); });
    Translatable* list = nullptr;
    if (m->hasField(6) && m->readContainerField(6, OBJ_FT_MODE_LIST_ID, &list) == 0) t->modes = static_cast<FtTransaction::Item*>(list);
    m->recover();
    list = nullptr;
    if (m->hasField(7) && m->readContainerField(7, OBJ_FT_OWNER_LIST_ID, &list) == 0) t->owners = static_cast<FtTransaction::Item*>(list);
    m->recover();
    list = nullptr;
    if (m->hasField(8) && m->readContainerField(8, OBJ_FT_GROUP_LIST_ID, &list) == 0) t->groups = static_cast<FtTransaction::Item*>(list);
    m->recover();
    optional(m, [&] { return m->readBoolField(9, &t->modifiedOnly); });
    optional(m, [&] { return m->readBoolField(10, &t->removeMissing); });
    optional(m, [&] { return m->readBoolField(11, &t->useRecvStart2); });
    optional(m, [&] { return m->readBoolField(12, &t->createDest); });
    optional(m, [&] { return m->readBoolField(13, &t->flag13); });
    optional(m, [&] { return m->readStringField(14, &t->indexName); });
    optional(m, [&] { return m->readFloatField(15, &t->bandwidth); });
    optional(m, [&] { return m->readInt32Field(16, &t->bandwidthUnit); });
    list = nullptr;
    if (m->hasField(17) && m->readContainerField(17, OBJ_FT_FILTER_LIST_ID, &list) == 0)
        t->filters = static_cast<FtTransaction::FilterEntry*>(list);
    m->recover();
    optional(m, [&] { return m->readBoolField(18, &t->linkKeepInTree); });
    optional(m, [&] { return m->readBoolField(19, &t->linkFollowOutside); });
    optional(m, [&] { return m->readBoolField(20, &t->linkAllowOutside); });
    optional(m, [&] { return m->readBoolField(21, &t->keepBackups); });
    optional(m, [&] { return m->readBoolField(22, &t->move); });
    optional(m, [&] { return m->readBoolField(23, &t->noKeepBackups); });
    optional(m, [&] { return m->readInt32Field(24, &t->algorithm); });
    optional(m, [&] { return m->readBoolField(25, &t->indexMd5); });
    optional(m, [&] { return m->readBoolField(26, &t->flag26); });
    *obj = t;
    return 0;
}

int FtXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        auto* ft = static_cast<Ft*>(*obj);
        if (ft->transactions() != nullptr) m->writeContainerField(1, OBJ_FT_TRANSACTION_LIST_ID, ft->transactions());
        m->writeBoolField(2, ft->keepFallbacks);
        m->writeStringField(3, ft->fallbackText);
        m->writeInt32Field(4, ft->fallbackCount);
        m->writeInt32Field(5, ft->fallbackAge);
        return m->getError() != 0 ? -1 : 0;
    }
    Ft* ft = new Ft;
    Translatable* list = nullptr;
    if (m->hasField(1) && m->readContainerField(1, OBJ_FT_TRANSACTION_LIST_ID, &list) == 0 && list != nullptr)
        ft->addTransaction(static_cast<FtTransaction*>(list));
    m->recover();
    optional(m, [&] { return m->readBoolField(2, &ft->keepFallbacks); });
    optional(m, [&] { return m->readStringField(3, &ft->fallbackText); });
    optional(m, [&] { return m->readInt32Field(4, &ft->fallbackCount); });
    optional(m, [&] { return m->readInt32Field(5, &ft->fallbackAge); });
    *obj = ft;
    return 0;
}

}  // namespace

void ft_registerTranslators() {
    MessageBase::registerObjectXlator(OBJ_FT_FILTER_ID, FilterEntryXlator);
    MessageBase::registerObjectXlator(OBJ_FT_FILTER_LIST_ID, ListXlator<FtTransaction::FilterEntry, OBJ_FT_FILTER_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_OWNER_ITEM_ID, ItemXlator<OBJ_FT_OWNER_ITEM_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_GROUP_ITEM_ID, ItemXlator<OBJ_FT_GROUP_ITEM_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_MODE_ITEM_ID, ItemXlator<OBJ_FT_MODE_ITEM_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_OWNER_LIST_ID, ListXlator<FtTransaction::Item, OBJ_FT_OWNER_ITEM_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_GROUP_LIST_ID, ListXlator<FtTransaction::Item, OBJ_FT_GROUP_ITEM_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_MODE_LIST_ID, ListXlator<FtTransaction::Item, OBJ_FT_MODE_ITEM_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_TRANSACTION_ID, TransactionXlator);
    MessageBase::registerObjectXlator(OBJ_FT_TRANSACTION_LIST_ID, ListXlator<FtTransaction, OBJ_FT_TRANSACTION_ID>);
    MessageBase::registerObjectXlator(OBJ_FT_ID, FtXlator);
}
