#include "tools/dird/user_table.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <set>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "tools/dird/domain_ca.h"

namespace {

const char kScheme[] = "pbkdf2-sha256";
const char kHeader[] = "# Users of the directory server (drvdird --add-user NAME). Do not edit the hashes.";

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool fromHex(const std::string& text, std::string* out) {
    if (text.size() % 2 != 0) return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!isxdigit(static_cast<unsigned char>(text[i])) || !isxdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        out->push_back(static_cast<char>(strtol(text.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

// Splits off the text before the next colon; false when there is none.
bool takeField(std::string& rest, std::string* field) {
    size_t colon = rest.find(':');
    if (colon == std::string::npos) return false;
    *field = rest.substr(0, colon);
    rest.erase(0, colon + 1);
    return true;
}

}  // namespace

bool UserTable::validName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '-') return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '.' && c != '-' && c != '_' && c != '@') return false;
    return true;
}

std::string UserTable::defaultSecurity(const std::string& name, const std::string& domain) {
    // Section 0 the version, 1 the login user, 2 the management user and its groups.
    return "1`" + name + ",-`" + name + ",-,Users@" + domain;
}

std::string UserTable::derive(const std::string& password, const std::string& salt, int iterations) {
    unsigned char out[kHashBytes];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), kHashBytes, out) != 1)
        return std::string();
    return std::string(reinterpret_cast<char*>(out), kHashBytes);
}

void UserTable::markUnreadable(int err) {
    if (!_unreadable)
        log(LOG_ERROR, err, 0, "dird: cannot read the users file %s; keeping the users read before", _path.c_str());
    _unreadable = true;
    _readError = err;
}

void UserTable::refreshLocked() {
    struct stat st;
    if (stat(_path.c_str(), &st) != 0) {
        int err = errno;
        if (err != ENOENT && err != ENOTDIR) {
            // There is something at the path that cannot be looked at: it
            // is not taken for an empty table, which a change would write
            // over it.
            markUnreadable(err);
            return;
        }
        if (_loaded && !_users.empty()) log(LOG_WARNING, 0, 0, "dird: users file %s is gone", _path.c_str());
        _users.clear();
        _lines.clear();
        _loaded = true;
        _unreadable = false;
        _mtime = 0;
        _mtimeNs = 0;
        return;
    }
    if (_loaded && !_unreadable && st.st_mtim.tv_sec == _mtime && st.st_mtim.tv_nsec == _mtimeNs) return;
    std::string text;
    errno = 0;
    if (!readWholeFile(_path, &text)) {
        markUnreadable(errno != 0 ? errno : EIO);
        return;
    }
    std::map<std::string, Entry> users;
    std::vector<Line> lines;
    // Where each user's line is, to turn an earlier line of the same name
    // (overridden by the later one) back into kept text.
    std::map<std::string, size_t> slotOf;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        lineNumber++;
        if (line == kHeader) continue;  // written again at the top
        if (line.empty() || line[0] == '#') {
            lines.push_back(Line{line, std::string()});
            continue;
        }
        std::string name, scheme, iterations, salt, hash;
        Entry e;
        std::string rest = line;
        bool ok = takeField(rest, &name) && takeField(rest, &scheme) && takeField(rest, &iterations) &&
                  takeField(rest, &salt) && takeField(rest, &hash) && validName(name) && scheme == kScheme &&
                  fromHex(salt, &e.salt) && fromHex(hash, &e.hash) && e.hash.size() == kHashBytes;
        if (ok) {
            char* endp = nullptr;
            long n = strtol(iterations.c_str(), &endp, 10);
            ok = *endp == '\0' && n >= 1000 && n <= 10000000;
            e.iterations = static_cast<int>(n);
        }
        if (!ok) {
            log(LOG_WARNING, 0, 0, "dird: %s line %d is not NAME:%s:ITERATIONS:SALT:HASH:SECURITY; skipped",
                _path.c_str(), lineNumber, kScheme);
            lines.push_back(Line{line, std::string()});
            continue;
        }
        e.security = rest;
        users[name] = e;
        auto previous = slotOf.find(name);
        if (previous != slotOf.end()) lines[previous->second].user.clear();
        slotOf[name] = lines.size();
        lines.push_back(Line{line, name});
    }
    _users.swap(users);
    _lines.swap(lines);
    _mtime = st.st_mtim.tv_sec;
    _mtimeNs = st.st_mtim.tv_nsec;
    _loaded = true;
    _unreadable = false;
    log(LOG_INFO, 0, 0, "dird: %zu users read from %s", _users.size(), _path.c_str());
}

std::string UserTable::userLine(const std::string& name, const Entry& e) {
    char iterations[16];
    snprintf(iterations, sizeof iterations, "%d", e.iterations);
    return name + ":" + kScheme + ":" + iterations + ":" + toHex(e.salt) + ":" + toHex(e.hash) + ":" + e.security;
}

bool UserTable::saveLocked(const std::map<std::string, Entry>& users, std::string* error) {
    if (_unreadable) {
        // Writing what was read before (or nothing) would throw away every
        // user the file holds now.
        *error = "cannot read the users file " + _path + " (" + strerror(_readError) +
                 "); it is not changed until it reads again";
        return false;
    }
    std::string text = std::string(kHeader) + "\n";
    std::vector<Line> lines = _lines;
    std::set<std::string> placed;
    for (Line& l : lines) {
        if (!l.user.empty()) {
            auto it = users.find(l.user);
            if (it != users.end()) l.text = userLine(it->first, it->second);
            placed.insert(l.user);
        }
        text += l.text + "\n";
    }
    // New users go after everything that was there.
    for (const auto& u : users) {
        if (placed.count(u.first) != 0) continue;
        lines.push_back(Line{userLine(u.first, u.second), u.first});
        text += lines.back().text + "\n";
    }
    if (!writeFileAtomically(_path, text, 0600, error)) return false;
    _lines.swap(lines);
    struct stat st;
    if (stat(_path.c_str(), &st) == 0) {
        _mtime = st.st_mtim.tv_sec;
        _mtimeNs = st.st_mtim.tv_nsec;
    }
    return true;
}

bool UserTable::setUser(const std::string& name, const std::string& password, const std::string& security,
                        std::string* error) {
    if (!validName(name)) {
        *error = "'" + name + "' is not a user name (letters, digits and .-_@, at most 64)";
        return false;
    }
    if (security.find('\n') != std::string::npos || security.find('\r') != std::string::npos) {
        *error = "a security text is one line";
        return false;
    }
    Entry e;
    e.iterations = kIterations;
    e.salt.resize(kSaltBytes);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&e.salt[0]), kSaltBytes) != 1) {
        *error = "no random bytes for the salt";
        return false;
    }
    e.hash = derive(password, e.salt, e.iterations);
    e.security = security;
    if (e.hash.empty()) {
        *error = "cannot hash the password";
        return false;
    }
    CriticalSection hold(_lock);
    refreshLocked();
    // In force only once it is on file: a user that could not be written
    // is not taken in this process either.
    std::map<std::string, Entry> users = _users;
    users[name] = e;
    if (!saveLocked(users, error)) return false;
    _users.swap(users);
    return true;
}

int UserTable::check(const std::string& name, const std::string& password, std::string* security) {
    Entry e;
    bool known;
    {
        CriticalSection hold(_lock);
        refreshLocked();
        auto it = _users.find(name);
        known = it != _users.end();
        if (known) e = it->second;
    }
    if (!known) {
        // The same work as for a known user: the time taken tells nothing.
        e.iterations = kIterations;
        e.salt.assign(kSaltBytes, '\0');
        e.hash.assign(kHashBytes, '\1');
    }
    std::string got = derive(password, e.salt, e.iterations);
    bool match = got.size() == e.hash.size() && CRYPTO_memcmp(got.data(), e.hash.data(), got.size()) == 0;
    if (!known || !match) return DirError::E_LOGIN_FAILURE;
    *security = e.security;
    return 0;
}

bool UserTable::find(const std::string& name, std::string* security) {
    CriticalSection hold(_lock);
    refreshLocked();
    auto it = _users.find(name);
    if (it == _users.end()) return false;
    *security = it->second.security;
    return true;
}

int UserTable::size() {
    CriticalSection hold(_lock);
    refreshLocked();
    return static_cast<int>(_users.size());
}
