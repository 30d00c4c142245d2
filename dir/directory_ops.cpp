// The synchronous operations: each resolves its name on the calling thread
// with the principal in force and asks the provider reached.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/masq_input_reader.h"
#include "dir/resolve_context.h"
#include "dir/search_helper.h"
#include "dirbase/acl.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/enumeration.h"

namespace {

void setErr(int* err, int code) {
    if (err != nullptr) *err = code;
}

// Resolves `name` with the principal in force and asks the provider
// reached for one record through `ask`; on any failure the record is
// dropped and *err says why.
template <class Record, class Ask>
Record* resolveAndAsk(Directory* directory, const DirName* name, int* err, Ask ask) {
    ResolveContext rc(directory, name, directory->findPrincipal());
    int rv = directory->resolveToObject(&rc, nullptr, nullptr, nullptr);
    Record* out = nullptr;
    if (rv == 0) rv = ask(rc, out);
    if (rv != 0) {
        delete out;
        out = nullptr;
    }
    setErr(err, rv);
    return out;
}

}  // namespace

Attributes* Directory::getAttributes(const DirName* name, int* err) {
    return resolveAndAsk<Attributes>(this, name, err, [](ResolveContext& rc, Attributes*& out) {
        return rc.spi->getAttributes(rc.principal, rc.current, out);
    });
}

Acl* Directory::getAcl(const DirName* name, int* err) {
    return resolveAndAsk<Acl>(this, name, err, [](ResolveContext& rc, Acl*& out) {
        return rc.spi->getAcl(rc.principal, rc.current, out);
    });
}

ClassEnumeration* Directory::list(const DirName* name, int* err) {
    return resolveAndAsk<ClassEnumeration>(this, name, err, [](ResolveContext& rc, ClassEnumeration*& out) {
        out = new ClassEnumeration();
        return rc.spi->list(rc.principal, rc.current, out);
    });
}

DirectoryEnumeration* Directory::search(const DirName* name, const char* filter, int* err) {
    ResolveContext rc(this, name, findPrincipal());
    int rv = resolveForSearch(&rc, nullptr, nullptr);
    DirectoryEnumeration* out = nullptr;
    if (rv == 0) {
        // The last entry is the pattern; a name with nothing left after the
        // domain step searches below the object reached, for every class.
        const DirNameEntry* last = rc.index < rc.entryCount() ? rc.entry(rc.entryCount() - 1) : nullptr;
        SearchHelper helper;
        rv = helper.set(last, filter);
        if (rv == 0) {
            out = new DirectoryEnumeration();
            out->setOrigin(name, this);
            char* wanted = filter != nullptr ? strdup(filter) : nullptr;
            rv = rc.spi->search(rc.target, rc.principal, &helper, rc.current, last, wanted, out);
            free(wanted);
            if (rv != 0) {
                delete out;
                out = nullptr;
            }
        }
    }
    setErr(err, rv);
    return out;
}

Input* Directory::openForRead(const DirName* name, const char* path, int* err) {
    ResolveContext rc(this, name, findPrincipal());
    int rv = resolveToObject(&rc, nullptr, nullptr, nullptr);
    if (rv != 0) {
        setErr(err, rv);
        return nullptr;
    }
    // The remote path names the object reached and the whole name.
    char* nameText = rc.name != nullptr ? rc.name->toString(nullptr) : nullptr;
    std::string remotePath = std::string(rc.current->className != nullptr ? rc.current->className : "") + ":" +
                             (nameText != nullptr ? nameText : "");
    free(nameText);
    if (rc.spi->isNetworkSPI() && _remote != nullptr && _remote->readsThroughDirectory(rc.spi)) {
        const char* file = path != nullptr && *path != '\0' ? path : remotePath.c_str();
        setErr(err, 0);
        return MasqInputReader::openInput(this, rc.spi, rc.principal, _remote->assetIdOf(rc.spi), file);
    }
    void* stream = nullptr;
    if (_openFile == nullptr) {
        setErr(err, DirError::E_NOT_IMPLEMENTED);
        return nullptr;
    }
    rv = _openFile(this, rc.spi, remotePath.c_str(), false, 0, &stream);
    setErr(err, rv);
    return rv == 0 ? static_cast<Input*>(stream) : nullptr;
}

Output* Directory::openForWrite(const DirName* name, int mode, int* err) {
    ResolveContext rc(this, name, findPrincipal());
    int rv = resolveToObject(&rc, nullptr, nullptr, nullptr);
    if (rv != 0) {
        setErr(err, rv);
        return nullptr;
    }
    char* nameText = rc.name != nullptr ? rc.name->toString(nullptr) : nullptr;
    std::string remotePath = std::string(rc.current->className != nullptr ? rc.current->className : "") + ":" +
                             (nameText != nullptr ? nameText : "");
    free(nameText);
    if (_openFile == nullptr) {
        setErr(err, DirError::E_NOT_IMPLEMENTED);
        return nullptr;
    }
    void* stream = nullptr;
    rv = _openFile(this, rc.spi, remotePath.c_str(), true, mode, &stream);
    setErr(err, rv);
    return rv == 0 ? static_cast<Output*>(stream) : nullptr;
}
