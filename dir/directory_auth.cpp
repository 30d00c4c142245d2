// Re-authentication through the session's own provider: the operations
// "authenticateAlternateUser" and "relogin" on the name "/auth:", waited for
// on the calling thread.
#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"

namespace {

// Runs operation on "/auth:" and waits for its end; the finished result,
// which the caller destroys, or null when the name cannot be parsed.
FutureResult* runAuth(Directory* directory, const char* operation, Any** args) {
    int err = 0;
    DirName* name = DirName::createFromString("/auth:", &err);
    if (name == nullptr) return nullptr;
    FutureResult* fr = directory->execute(name, nullptr, operation, args);
    delete name;
    if (fr != nullptr) fr->waitComplete();
    return fr;
}

}  // namespace

Any* Directory::authenticateAlternateUser(const char* user, int* err) {
    Any userValue;
    userValue.set(user);
    Any* args[] = {&userValue, nullptr};
    FutureResult* fr = runAuth(this, "authenticateAlternateUser", args);
    if (fr == nullptr || fr->failed) {
        if (err != nullptr) *err = fr != nullptr ? fr->error : DirError::E_IO;
        if (fr != nullptr) FutureResult::destroy(fr);
        return nullptr;
    }
    Any* result = fr->result;
    fr->result = nullptr;
    FutureResult::destroy(fr);
    if (err != nullptr) *err = 0;
    return result;
}

void Directory::relogin(int* err) {
    FutureResult* fr = runAuth(this, "relogin", nullptr);
    if (fr != nullptr && fr->failed) {
        if (err != nullptr) *err = fr->error;
        FutureResult::destroy(fr);
        return;
    }
    Translatable* object = nullptr;
    if (fr == nullptr || fr->result == nullptr || !fr->result->getObject(&object) || object == nullptr ||
        object->getObjectID() != OBJ_PRINCIPAL_ID) {
        log(0, "Unexpected error in relogin");
        if (err != nullptr) *err = DirError::E_IO;
        if (fr != nullptr) FutureResult::destroy(fr);
        return;
    }
    // Another thread may be reading the previous one right now: it goes
    // when that reader lets go of it.
    std::atomic_store(&principal, std::make_shared<const Principal>(*static_cast<Principal*>(object)));
    FutureResult::destroy(fr);
    if (err != nullptr) *err = 0;
}
