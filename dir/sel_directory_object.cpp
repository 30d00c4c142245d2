#include "dir/sel_directory_object.h"

#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/resolve_context.h"
#include "dirbase/acl.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"
#include "script/parser.h"

namespace {

Any* referenceTo(Translatable* object) {
    Any* v = new Any();
    v->setReference(object);
    return v;
}

// The first argument as a name in the directory's text form.
int nameArgument(Parser* parser, Any** args, DirName** out) {
    *out = nullptr;
    if (args == nullptr || args[0] == nullptr) return DirError::E_MISSING_ARGUMENTS;
    char* text = nullptr;
    if (!args[0]->convertToString(parser, text) || text == nullptr) return DirError::E_NOT_CONVERTIBLE;
    int err = 0;
    *out = DirName::createFromString(text, &err);
    free(text);
    if (*out == nullptr) return err != 0 ? err : DirError::E_ILLEGAL_ARGUMENT;
    return 0;
}

int attributesOf(Directory* directory, const DirName* name, Any** result) {
    int err = 0;
    Attributes* a = directory->getAttributes(name, &err);
    if (err != 0) {
        delete a;
        return err;
    }
    *result = referenceTo(a != nullptr ? a : new Attributes());
    return 0;
}

int aclOf(Directory* directory, const DirName* name, Any** result) {
    int err = 0;
    Acl* acl = directory->getAcl(name, &err);
    if (err != 0) {
        delete acl;
        return err;
    }
    *result = acl != nullptr ? referenceTo(acl) : new Any();
    return 0;
}

// Runs operation on name and waits for its result.
int execute(Directory* directory, const DirName* name, const char* operation, Any** args, Any** result) {
    // An empty argument list still needs its terminator.
    Any* none[] = {nullptr};
    FutureResult* fr = directory->execute(name, nullptr, operation, args != nullptr ? args : none);
    fr->waitComplete();
    int rc = 0;
    if (fr->failed) {
        rc = fr->error != 0 ? fr->error : DirError::E_FUNCTION_CALL_FAILED;
    } else if (fr->result != nullptr) {
        *result = new Any(*fr->result);
    } else {
        *result = new Any();
    }
    FutureResult::destroy(fr);
    return rc;
}

// Dispatches member calls to the object the call was made on.
class SelDirectoryObjectPrototype : public Translatable {
public:
    bool isPrototype() const override { return true; }
    unsigned int getObjectID() const override { return OBJ_SELDIRECTORYOBJECT_ID; }
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override {
        *result = nullptr;
        if (self == nullptr || self->isPrototype() || self->getObjectID() != OBJ_SELDIRECTORYOBJECT_ID)
            return Translatable::callMemberFn(parser, result, self, name, args);
        return static_cast<SelDirectoryObject*>(self)->callMember(parser, result, name, args);
    }
    char* toString(Parser*) override { return strdup("[class SelDirectoryObject]"); }
};

class SelDirectoryPrototype : public Translatable {
public:
    bool isPrototype() const override { return true; }
    unsigned int getObjectID() const override { return OBJ_SELDIRECTORY_ID; }
    int callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name, Any** args) override {
        *result = nullptr;
        if (self == nullptr || self->isPrototype() || self->getObjectID() != OBJ_SELDIRECTORY_ID)
            return Translatable::callMemberFn(parser, result, self, name, args);
        return static_cast<SelDirectory*>(self)->callMember(parser, result, name, args);
    }
    char* toString(Parser*) override { return strdup("[class SelDirectory]"); }
};

}  // namespace

// ---- SelDirectoryObject ---------------------------------------------------------

SelDirectoryObject::SelDirectoryObject(Directory* dir, DirName* n, Attributes* attributes, Acl* acl)
    : directory(dir), name(n), _attributes(attributes), _acl(acl) {}

SelDirectoryObject::~SelDirectoryObject() {
    delete name;
    delete _attributes;
    delete _acl;
}

const char* SelDirectoryObject::getObjectType() const {
    return "SelDirectoryObject";
}

int SelDirectoryObject::getField(Parser* parser, Any** result, const char* field) const {
    if (strcmp(field, "name") == 0) {
        char* text = name->toString(parser);
        *result = new Any(text != nullptr ? text : "");
        free(text);
        return 0;
    }
    return Translatable::getField(parser, result, field);
}

char* SelDirectoryObject::toString(Parser* parser) {
    return name->toString(parser);
}

int SelDirectoryObject::callMember(Parser*, Any** result, const char* member, Any** args) {
    *result = nullptr;
    if (member == nullptr) return DirError::E_NO_SUCH_FUNCTION;
    if (strcmp(member, "getAttributes") == 0) {
        if (_attributes != nullptr) {
            *result = referenceTo(_attributes);
            _attributes = nullptr;
            return 0;
        }
        return attributesOf(directory, name, result);
    }
    if (strcmp(member, "getAcl") == 0) {
        if (_acl != nullptr) {
            *result = referenceTo(_acl);
            _acl = nullptr;
            return 0;
        }
        return aclOf(directory, name, result);
    }
    return execute(directory, name, member, args, result);
}

// ---- SelDirectory -------------------------------------------------------------

SelDirectory::SelDirectory(Directory* dir) : directory(dir) {}

char* SelDirectory::toString(Parser*) {
    return strdup("[directory]");
}

int SelDirectory::callMember(Parser* parser, Any** result, const char* member, Any** args) {
    *result = nullptr;
    if (member == nullptr) return DirError::E_NO_SUCH_FUNCTION;
    bool lookup = strcmp(member, "lookup") == 0, list = strcmp(member, "list") == 0,
         search = strcmp(member, "search") == 0;
    if (!lookup && !list && !search) return DirError::E_NO_SUCH_FUNCTION;
    DirName* name = nullptr;
    if (int rc = nameArgument(parser, args, &name); rc != 0) return rc;
    int err = 0;
    if (lookup) {
        ResolveContext rc(directory, name, directory->findPrincipal());
        err = directory->resolveToObject(&rc, nullptr, nullptr, nullptr);
        if (err != 0) {
            delete name;
            return err;
        }
        *result = referenceTo(new SelDirectoryObject(directory, name));
        return 0;
    }
    AnyArray* out = new AnyArray();
    if (list) {
        ClassEnumeration* e = directory->list(name, &err);
        while (err == 0 && e != nullptr && e->next()) out->append(new Any(e->getClass()));
        delete e;
    } else {
        char* wanted = nullptr;
        if (args[1] != nullptr && !args[1]->convertToString(parser, wanted)) err = DirError::E_NOT_CONVERTIBLE;
        DirectoryEnumeration* e = err == 0 ? directory->search(name, wanted, &err) : nullptr;
        free(wanted);
        while (err == 0 && e != nullptr && e->next()) {
            // Entries go in at the head: the name is added last to come first.
            Attributes* item = new Attributes();
            Any* attrs = new Any();
            attrs->setReference(e->getAttributes() != nullptr ? new Attributes(*e->getAttributes()) : new Attributes());
            item->addAttribute("attributes", attrs);
            char* entry = e->getName() != nullptr ? e->getName()->toString(nullptr) : nullptr;
            item->setAttribute("name", entry != nullptr ? entry : "");
            free(entry);
            out->append(referenceTo(item));
        }
        delete e;
    }
    delete name;
    if (err != 0) {
        delete out;
        return err;
    }
    *result = referenceTo(out);
    return 0;
}

void dir_registerScriptClasses() {
    Parser::registerObject(OBJ_SELDIRECTORYOBJECT_ID, "SelDirectoryObject", new SelDirectoryObjectPrototype(),
                           false);
    Parser::registerObject(OBJ_SELDIRECTORY_ID, "SelDirectory", new SelDirectoryPrototype(), false);
}
