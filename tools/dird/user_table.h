// UserTable: the users who may log in to the directory server, kept in the
// state folder's "users" file, one line per user:
//
//   NAME:pbkdf2-sha256:ITERATIONS:SALT:HASH:SECURITY
//
// SALT (16 bytes) and HASH (32 bytes) in hexadecimal; SECURITY is the
// principal's security text that the session certificate carries (it may
// hold any character but a line break, colons included, which is why it
// comes last). Lines starting with "#" and blank lines are kept out of the
// table; a malformed line is logged and skipped, never fatal.
//
// A rewrite (setUser) keeps what the table did not take in: comments, blank
// lines, malformed lines and earlier lines of a user named again further
// down stay verbatim where they stood; a changed user's line is replaced in
// place, a new user goes at the end, and the header comment is written once
// at the top. When the file exists but cannot be read, no rewrite is made
// (setUser fails) until it reads again: the users read before stay in force
// for logins meanwhile.
//
// The file is read again when its modification time changes, so that a
// user added by "drvdird --add-user" while the server runs can log in at
// once.
//
// Thread-safety: every operation takes the table's lock; check() hashes
// outside it.
#ifndef DRV_TOOLS_DIRD_USER_TABLE_H
#define DRV_TOOLS_DIRD_USER_TABLE_H

#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "common/sem.h"
#include "common/thread_annotations.h"

class UserTable {
public:
    static const int kIterations = 60000;
    static const int kSaltBytes = 16;
    static const int kHashBytes = 32;

    explicit UserTable(const std::string& path) : _path(path) {}

    // A user name: 1 to 64 characters of letters, digits and ".-_@", not
    // starting with "-".
    static bool validName(const std::string& name);
    // The security text a new user gets when none is given: no policies,
    // the name as login and management user, in group "Users" of domain.
    static std::string defaultSecurity(const std::string& name, const std::string& domain);

    // Adds the user or replaces the password and security text of one of
    // that name, and rewrites the file. False with *error set.
    bool setUser(const std::string& name, const std::string& password, const std::string& security,
                 std::string* error) EXCLUDES(_lock);
    // 0 with the user's security text, or 20 ("Login failure") for an
    // unknown user or a wrong password (the same answer for both).
    int check(const std::string& name, const std::string& password, std::string* security) EXCLUDES(_lock);
    // The user's security text; false for an unknown user.
    bool find(const std::string& name, std::string* security) EXCLUDES(_lock);
    int size() EXCLUDES(_lock);

private:
    struct Entry {
        int iterations;
        std::string salt;  // raw bytes
        std::string hash;  // raw bytes
        std::string security;
    };

    // One line of the file as read: a user's (user set: rewritten from the
    // table) or text kept verbatim.
    struct Line {
        std::string text;
        std::string user;
    };

    // Reads the file again when it changed since the last reading.
    void refreshLocked() REQUIRES(_lock);
    // The file is there but does not read (err says why): logged once, and
    // no rewrite is made until it reads again.
    void markUnreadable(int err) REQUIRES(_lock);
    // Writes users into the file, around the lines kept from it.
    bool saveLocked(const std::map<std::string, Entry>& users, std::string* error) REQUIRES(_lock);
    static std::string userLine(const std::string& name, const Entry& e);
    static std::string derive(const std::string& password, const std::string& salt, int iterations);

    std::string _path;
    CriticalBlock _lock;
    std::map<std::string, Entry> _users GUARDED_BY(_lock);
    std::vector<Line> _lines GUARDED_BY(_lock);
    // The file is there but did not read: nothing is written over it.
    bool _unreadable GUARDED_BY(_lock) = false;
    int _readError GUARDED_BY(_lock) = 0;
    time_t _mtime GUARDED_BY(_lock) = 0;
    long _mtimeNs GUARDED_BY(_lock) = 0;
    bool _loaded GUARDED_BY(_lock) = false;
};

#endif
