#include "tools/dird/dird_state.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

DirdState::~DirdState() {
    X509_free(_serverCert);
    EVP_PKEY_free(_serverKey);
}

DirdState* DirdState::open(const std::string& dir, const char* domain, bool serverCredentials, std::string* error) {
    if (dir.empty()) {
        *error = "no state folder given (--state DIR)";
        return nullptr;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (mkdir(dir.c_str(), 0700) != 0) {
            *error = "cannot create the state folder " + dir + ": " + strerror(errno);
            return nullptr;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        *error = dir + " is not a folder";
        return nullptr;
    }
    std::unique_ptr<DirdState> state(new DirdState());
    state->_dir = dir;
    state->_ca.reset(DomainCA::openOrCreate(dir, domain, error));
    if (!state->_ca) return nullptr;
    state->_users.reset(new UserTable(dir + "/users"));
    state->_assets.reset(new AssetTable(dir + "/assets.json"));
    if (!state->_assets->load(error)) return nullptr;
    if (serverCredentials && !state->_ca->serverCredentials(&state->_serverCert, &state->_serverKey, error))
        return nullptr;
    return state.release();
}
