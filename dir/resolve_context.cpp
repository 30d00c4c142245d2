#include "dir/resolve_context.h"

#include "common/os.h"
#include "dir/asset.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/principal.h"
#include "dirbase/dir_name.h"

namespace {

std::shared_ptr<const Principal> copyOf(const Principal* principal) {
    return principal != nullptr ? std::make_shared<const Principal>(*principal) : nullptr;
}

}  // namespace

ResolveContext::ResolveContext(Directory* directory, const DirName* name, std::shared_ptr<const Principal> principal)
    : rootSPI(directory != nullptr ? directory->spi : nullptr),
      domainObject(directory != nullptr && directory->root != nullptr ? new DirectoryObject(*directory->root)
                                                                       : nullptr),
      spi(nullptr),
      directory(directory),
      principal(nullptr),
      name(name != nullptr ? new DirName(*name) : nullptr),
      index(0),
      current(nullptr),
      target(nullptr),
      // A reference that owns nothing (use count 0) lives only as long as
      // the substitution that made it; the context may outlive that.
      _principal(principal.use_count() > 0 ? std::move(principal) : copyOf(principal.get())) {
    this->principal = _principal.get();
}

ResolveContext::ResolveContext(Directory* directory, const DirName* name, const Principal* principal)
    : ResolveContext(directory, name, copyOf(principal)) {}

ResolveContext::~ResolveContext() {
    if (spi != nullptr) spi->removeLock();
    delete domainObject;
    delete name;
    delete current;
    delete target;
}

void ResolveContext::setSPI(DirectorySPI* next) {
    DRV_ASSERT(next != nullptr);
    // Every way a resolution reaches a provider rules marked ones out.
    DRV_ASSERT(!next->isMarkedForDeletion());
    // Lock the new provider first: between the two steps the context always
    // holds at least one lock, so neither provider can be swept under it.
    next->addLock();
    if (spi != nullptr) spi->removeLock();
    spi = next;
}

void ResolveContext::adoptSPI(DirectorySPI* next) {
    DRV_ASSERT(next != nullptr);
    if (spi != nullptr) spi->removeLock();
    spi = next;
}

void ResolveContext::setCurrent(DirectoryObject* object) {
    if (object == current) return;
    delete current;
    current = object;
}

void ResolveContext::setTarget(Endpoint* endpoint) {
    if (endpoint == target) return;
    delete target;
    target = endpoint;
}

int ResolveContext::entryCount() const {
    return name != nullptr ? name->size() : 0;
}

const DirNameEntry* ResolveContext::entry(int i) const {
    if (name == nullptr || i < 0) return nullptr;
    const DirName::NameList* node = name->head;
    int at = 0;
    if (_cursorName == name && _cursorHead == name->head && _cursor != nullptr && _cursorIndex <= i) {
        node = _cursor;
        at = _cursorIndex;
    }
    for (; node != nullptr && at < i; at++) node = node->next;
    if (node == nullptr) return nullptr;
    _cursorName = name;
    _cursorHead = name->head;
    _cursor = node;
    _cursorIndex = at;
    return node->entry;
}
