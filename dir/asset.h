// Asset and Endpoint: the records of a managed machine (an agent) and of a
// service on one (file transfer, mail, web service, SSH), with their
// encodings (object ids 4000 and 4001), script fields and JSON texts. The
// directory needs an asset's address, ports, key and masquerade flag before
// it can open a remote provider to it; asset_cache.h keeps recent answers.
//
// Ownership: every string and the endpoint's attribute set belong to the
// record; the copy constructors copy them deeply.
//
// Thread-safety: plain records; one thread at a time, or many readers.
#ifndef DRV_DIR_ASSET_H
#define DRV_DIR_ASSET_H

#include "dirbase/translatable.h"

class Attributes;
class MessageBase;

const unsigned int OBJ_ASSET_ID = 4000;
const unsigned int OBJ_ENDPOINT_ID = 4001;

class Asset : public Translatable {
public:
    // Every field null, zero or false.
    Asset();
    Asset(const Asset& other);
    Asset& operator=(const Asset&) = delete;
    ~Asset() override;

    // The agent's version as a number, two decimal places per part of
    // agentVersion: "dravika-2.1.3" is 20103; no version or another product
    // gives 10400, "trunk" and "master" 999999.
    int getDravikaVersion() const;

    // "asset" gives name and "hostname" host (new string values, possibly
    // holding null); anything else 21 ("Not Implemented").
    int getField(Parser* parser, Any** result, const char* name) const override;
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    const char* getClassOf(Parser* parser) const override;
    int clone(const Principal* principal, Translatable** result) const override;

    char* name;
    char* description;
    char* host;  // the address to connect to
    int port;    // directory port
    int ftport;  // file-transfer port
    char* publicKey;  // PEM text of the key on file
    char* sysname;
    char* release;
    char* version;
    char* machine;
    char* distro;
    char* agentVersion;
    char* auth;
    char* archTag;
    char* extra15;  // carried only (encoded field 15)
    bool masq;      // reached through the domain server, or connects in by itself
    char* id;       // the key of every lookup
    char* extra18;  // carried only
    char* extra19;  // carried only
    char* agentId;
    bool extra21;  // carried only
};

class Endpoint : public Translatable {
public:
    Endpoint();
    Endpoint(const Endpoint& other);
    Endpoint& operator=(const Endpoint&) = delete;
    ~Endpoint() override;

    // 1 "FTP", 2 "EMAIL", 3 "HA", 4 "WEBSVC", 5 "SSH"; null for other numbers.
    static const char* endpointForType(int type);

    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;
    const char* getClassOf(Parser* parser) const override;
    int clone(const Principal* principal, Translatable** result) const override;

    char* name;
    char* description;
    // The asset the endpoint lives on, possibly after a prefix that ends in
    // a backquote.
    char* asset;
    int type;
    Attributes* attributes;
    char* id;
    bool extra7;  // carried only (encoded field 7)
};

// Asset fields 1-21 as numbered in the class; absent fields decode as null,
// 0 or false.
int AssetXlator(MessageBase* message, Translatable** obj, int direction);
// Endpoint: 1 name, 2 description, 3 asset, 4 type, 5 attributes (1001), 6 id, 7 bool.
int EndpointXlator(MessageBase* message, Translatable** obj, int direction);

#endif
