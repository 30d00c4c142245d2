// DirectorySPI: the base class of every directory provider, with the default
// operations a provider may keep; DirectoryObject: a provider's handle for
// one resolved object.
#ifndef DRV_DIR_DIRECTORY_SPI_H
#define DRV_DIR_DIRECTORY_SPI_H

#include "common/sem.h"
#include "dirbase/translatable.h"

class Acl;
class Any;
class MessageBase;
class Attributes;
class ClassEnumeration;
class Connection;
class DirNameEntry;
class DirectoryEnumeration;
class Endpoint;
class FutureResult;
class Input;
class Output;
class Principal;
class SearchHelper;

const unsigned int OBJ_DIRECTORYOBJECT_ID = 1013;

class DirectoryObject : public Translatable {
public:
    // Copies className; takes ownership of value.
    DirectoryObject(const char* className, Any* value);
    ~DirectoryObject() override;
    DirectoryObject(const DirectoryObject&) = delete;
    DirectoryObject& operator=(const DirectoryObject&) = delete;

    // { "className" : ..., "value" : ... }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override;

    // The provider's handle: "D" + domain, "H" + host or asset id, "E" +
    // endpoint id, or a provider's own domain identifier. May be null.
    char* className;
    // The provider's identifier of the object within the class. May be null.
    Any* value;
};

// Fields: 1 the class name (string), 2 the value (object 1000).
int DirectoryObjectXlator(MessageBase* message, Translatable** obj, int direction);

class DirectorySPI {
public:
    // Creates the domain identifier, "G" followed by a fresh GUID.
    DirectorySPI();
    virtual ~DirectorySPI();
    DirectorySPI(const DirectorySPI&) = delete;
    DirectorySPI& operator=(const DirectorySPI&) = delete;

    // Resolves one name entry below current; 0 with out null means "Object Not Found".
    virtual int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                        const DirNameEntry* entry, DirectoryObject*& out) = 0;
    virtual int search(const Endpoint* target, const Principal* principal, SearchHelper* helper,
                       DirectoryObject* current, const DirNameEntry* entry, char* filter,
                       DirectoryEnumeration* result) = 0;
    virtual int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                        FutureResult* result) = 0;
    virtual int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) = 0;
    // Default: nothing listed.
    virtual int list(const Principal* principal, DirectoryObject* object, ClassEnumeration* result);
    // Default: attachListener(principal, no connection, object, filter, listenerId, false).
    virtual int listen(const Principal* principal, DirectoryObject* object, const DirNameEntry* filter,
                       int listenerId);
    virtual int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) = 0;
    // Default: 21 ("Not Implemented").
    virtual int openForRead(const Principal* principal, const DirectoryObject* object, const char* path,
                            Input** out);
    // Default: 21 ("Not Implemented").
    virtual int openForWrite(const Principal* principal, const DirectoryObject* object, Output** out);
    virtual bool isIdle();
    virtual int attachListener(const Principal* principal, Connection* connection, const DirectoryObject* object,
                               const DirNameEntry* filter, int listenerId, bool multi);
    virtual bool isNetworkSPI();
    virtual void closeDirectory();
    // A newly allocated text; default "generic SPI".
    virtual char* toString() const;

    const char* getDomainGuid() const { return domainGuid; }

protected:
    CriticalBlock lock;
    int _locks;
    bool markedForDeletion;
    bool temporary;
    char* domainGuid;
};

#endif
