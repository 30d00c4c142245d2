// ResolveContext: the state of one name resolution, on the stack of a
// synchronous operation or owned by an execution request. It keeps the
// provider of the step reached locked (its lock count one higher) so that
// the idle sweep never deletes a provider under a resolution.
//
// Ownership: the context owns its copies of the root object and name, its
// current object and its endpoint copy; it holds one lock on spi and the
// principal in force, either a copy or a share of the session's own
// (principals never change once made, so a share serves as a copy and
// costs no allocation).
//
// Thread-safety: one thread at a time (an execution request moves between
// threads only through the execution thread's queue).
#ifndef DRV_DIR_RESOLVE_CONTEXT_H
#define DRV_DIR_RESOLVE_CONTEXT_H

#include <memory>

#include "dir/request_alloc.h"
#include "dirbase/dir_name.h"

class Directory;
class DirectoryObject;
class DirectorySPI;
class Endpoint;
class Principal;

class ResolveContext : public RequestAlloc {
public:
    // Copies name (may be null) and shares principal (may be null; one the
    // reference does not own, a thread's substitute, is copied); starts at
    // the directory's root provider with no current object and index 0.
    // For a context used on the calling thread: sharing across threads
    // moves the reference count between CPUs, which costs more than a copy.
    ResolveContext(Directory* directory, const DirName* name, std::shared_ptr<const Principal> principal);
    // The same with a copy of principal.
    ResolveContext(Directory* directory, const DirName* name, const Principal* principal);
    // Releases the lock on spi.
    ~ResolveContext();
    ResolveContext(const ResolveContext&) = delete;
    ResolveContext& operator=(const ResolveContext&) = delete;

    // Locks the new provider before releasing the old one. A null provider
    // or one marked for deletion is an assertion failure.
    void setSPI(DirectorySPI* next);
    // The same with a lock the caller has already taken on next.
    void adoptSPI(DirectorySPI* next);
    // Takes ownership of object and frees the previous one.
    void setCurrent(DirectoryObject* object);
    // Takes ownership of endpoint (may be null) and frees the previous one.
    void setTarget(Endpoint* endpoint);

    // Entries of the name; the entry at i, or null. Asked in increasing
    // order, as resolution steps through the name, each costs one step.
    int entryCount() const;
    const DirNameEntry* entry(int i) const;

    DirectorySPI* rootSPI;
    DirectoryObject* domainObject;  // copy of the directory's root, or null
    DirectorySPI* spi;              // locked while set
    Directory* directory;
    const Principal* principal;  // the one _principal holds
    DirName* name;
    int index;  // next entry to resolve
    DirectoryObject* current;
    Endpoint* target;

private:
    std::shared_ptr<const Principal> _principal;
    // Where entry() last looked, so that the next step starts there rather
    // than at the head of a name of any length. Valid while name and its
    // first node are the ones it was taken from.
    mutable const DirName* _cursorName = nullptr;
    mutable const DirName::NameList* _cursorHead = nullptr;
    mutable const DirName::NameList* _cursor = nullptr;
    mutable int _cursorIndex = 0;
};

#endif
