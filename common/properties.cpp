#include "common/properties.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "common/os.h"
#include "common/sem.h"

const char* const kPropertiesLabel = "    dravika.properties";

ReloadedSetting<bool> _upgrade_certs = false;
// Until a file has been read the listeners use the system's usual backlog.
ReloadedSetting<int> _ft_listen_queue = 50;
ReloadedSetting<int> _listen_queue = 50;
ReloadedSetting<int> _creds_buffer_size = 0;
ReloadedSetting<bool> _nss_creds_workaround = false;

namespace {

const int kCpuAffinityText = 1024;
const char kExpectedMessage[] = "Expected <key>: <value> in properties file: %s at line %d";

// Lock order: _reloadLock, then _apLock (a reload installs the new object
// and the group lock text while it holds the reload lock).
//
// Serialises reloads and guards the path and the reload bookkeeping. It is
// held across the load callback; a check or a path change that the callback
// makes itself is recognised by _reloadingHere instead of entering again.
CriticalBlock _reloadLock{LOCK_RANK_PROPERTIES_RELOAD, kProcessLifetime};
char* _apPath GUARDED_BY(_reloadLock) = nullptr;
long long _apLastLoad GUARDED_BY(_reloadLock) = -1;
bool _missingFileReported GUARDED_BY(_reloadLock) = false;
// Set while this thread holds _reloadLock inside s_testDravikaProperties.
thread_local bool _reloadingHere = false;

// Guards the pointer to the current properties and the group lock text, so
// that a getter on another thread never reads an object a reload is deleting.
CriticalBlock _apLock ACQUIRED_AFTER(_reloadLock){LOCK_RANK_CURRENT_PROPERTIES, kProcessLifetime};
Properties* _ap GUARDED_BY(_apLock) = nullptr;
char* _authGroupLock GUARDED_BY(_apLock) = nullptr;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

const char* skipSpace(const char* p) {
    while (isSpace(*p)) p++;
    return p;
}

// Reads the file a buffer at a time, as a line each, and numbers the
// reads by the file's own lines: a line longer than the buffer arrives in
// several pieces, which all carry the number of the line they came from.
class LineReader {
public:
    // A null file reads as an empty one.
    explicit LineReader(FILE* f) : _f(f) {}

    // Reads one piece into buf and drops its last character: the line feed,
    // or for a last line without one, its last real character. False at the
    // end, or when the file could not be read (see error()).
    bool next(char* buf, int size) {
        // Cleared first, so that a line feed in it can only be this read's,
        // even after a NUL in the line.
        memset(buf, 0, static_cast<size_t>(size));
        errno = 0;
        if (_f == nullptr) return false;
        if (fgets(buf, size, _f) == nullptr) {
            if (ferror(_f)) _error = errno != 0 ? errno : EIO;
            return false;
        }
        if (_atLineStart) _lineNo++;
        _atLineStart = memchr(buf, '\n', static_cast<size_t>(size)) != nullptr;
        size_t len = strlen(buf);
        if (len > 0) buf[len - 1] = '\0';
        return true;
    }

    int lineNo() const { return _lineNo; }
    // The errno of a read that failed (a directory in the file's place, an
    // I/O error), or 0 when the reads ended at the end of the file.
    int error() const { return _error; }

private:
    FILE* _f;
    int _error = 0;
    int _lineNo = 0;
    bool _atLineStart = true;
};

// Blank lines and comments carry no entry.
bool isSkipped(const char* line) {
    const char* p = skipSpace(line);
    return *p == '\0' || *p == '#';
}

// Opens a settings file (to read, or to write emptied) provided it is a
// regular file, or, for writing, nothing yet: a named pipe in its place would
// block the open (and the reload with it) until its other end came along,
// and a device may never end or read as empty; neither holds settings. The
// type is checked before opening, since opening some devices acts on them,
// and again on what was opened, in case the path changed meanwhile; the open
// itself never waits. Null with refused false when the file cannot be opened
// (to read: it is missing); null with refused true, logged, when it is no
// regular file.
FILE* openRegular(const char* path, bool forWriting, bool& refused) {
    refused = false;
    struct stat st;
    bool regular = stat(path, &st) != 0 || S_ISREG(st.st_mode);
    int fd = -1;
    if (regular) {
        fd = forWriting ? s_open_nowait(path, O_WRONLY | O_CREAT | O_NOCTTY, 0666, false)
                        : s_open_nowait(path, O_RDONLY | O_NOCTTY, 0, false);
        if (fd < 0) return nullptr;
        regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    }
    if (!regular) {
        if (fd >= 0) close(fd);
        refused = true;
        log(0, "Properties file %s is not a regular file; not %s", path, forWriting ? "written" : "read");
        return nullptr;
    }
    // Emptied only once known to be a regular file.
    FILE* f = !forWriting ? fdopen(fd, "r") : ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
    if (f == nullptr) close(fd);
    return f;
}

// The bytes of a file; false (a failed read logged) when it cannot be
// opened or read, or is no regular file.
bool readWholeFile(const char* path, std::string& text) {
    bool refused;
    FILE* f = openRegular(path, false, refused);
    if (f == nullptr) return false;
    char buf[Properties::kLineBuffer];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    const int err = ferror(f) ? (errno != 0 ? errno : EIO) : 0;
    fclose(f);
    if (err != 0) log(err, "Unable to read properties file: %s", path);
    return err == 0;
}

char* copyString(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

struct LevelName {
    const char* name;
    int level;
};

const LevelName kLevels[] = {
    {"TRACE", LOG_TRACE},   {"DEBUG", LOG_DEBUG}, {"INFO", LOG_INFO},
    {"WARNING", LOG_WARNING}, {"ERROR", LOG_ERROR}, {"CRITICAL", LOG_CRITICAL},
};

}  // namespace

Properties::Properties() : _first(nullptr) {}

Properties::~Properties() {
    while (_first != nullptr) {
        Property* next = _first->next;
        free(_first->key);
        free(_first->value);
        delete _first;
        _first = next;
    }
}

Properties::Properties(const Properties& other) : _first(nullptr) {
    copyFrom(&other);
}

void Properties::copyFrom(const Properties* other) {
    if (other == nullptr) return;
    for (const Property* p = other->_first; p != nullptr; p = p->next) setProperty(p->key, p->value, -1);
}

void Properties::setProperty(const char* key, const char* value, int line) {
    if (key == nullptr) return;
    Property* p = new Property;
    p->key = strdup(key);
    p->value = strdup(value != nullptr ? value : "");
    p->line = line;
    p->merged = false;
    p->next = _first;
    _first = p;
}

Property* Properties::find(const char* key) const {
    if (key == nullptr) return nullptr;
    for (Property* p = _first; p != nullptr; p = p->next)
        if (strcmp(p->key, key) == 0) return p;
    return nullptr;
}

const char* Properties::getProperty(const char* key) const {
    const Property* p = find(key);
    return p != nullptr ? p->value : nullptr;
}

bool Properties::load(const char* path, bool equalsForm) {
    if (path == nullptr) return true;
    bool refused;
    FILE* f = openRegular(path, false, refused);
    if (f == nullptr) return !refused;  // a missing file is an empty one
    const char separator = equalsForm ? '=' : ':';
    char line[kLineBuffer];
    LineReader reader(f);
    bool ok = true;
    while (reader.next(line, sizeof(line))) {
        const int lineNo = reader.lineNo();
        if (isSkipped(line)) continue;
        char* sep = strchr(line, separator);
        if (sep == nullptr) {
            log(0, kExpectedMessage, path, lineNo);
            ok = false;
            break;
        }
        *sep = '\0';
        // The key is taken as written: blanks around it belong to it.
        const char* key = line;
        if (strlen(key) > static_cast<size_t>(kMaxKey)) {
            log(0, "Key longer than %d characters in properties file: %s at line %d", kMaxKey, path, lineNo);
            ok = false;
            break;
        }
        if (!equalsForm) {
            setProperty(key, skipSpace(sep + 1), lineNo);
            continue;
        }
        char value[kLineBuffer];
        size_t n = 0;
        for (const char* p = sep + 1; *p != '\0'; p++)
            if (*p != '\\') value[n++] = *p;
        value[n] = '\0';
        if (n > static_cast<size_t>(kMaxEqualsValue)) {
            log(0, "Value longer than %d characters in properties file: %s at line %d", kMaxEqualsValue, path,
                lineNo);
            ok = false;
            break;
        }
        setProperty(key, value, lineNo);
    }
    // What was read before a failed read is only part of the file: loading
    // it would quietly put every later key back to its default.
    if (ok && reader.error() != 0) {
        log(reader.error(), "Unable to read properties file: %s", path);
        ok = false;
    }
    fclose(f);
    return ok;
}

bool Properties::merge(const char* inPath, const char* outPath) {
    if (inPath == nullptr || outPath == nullptr) return false;
    // The input is read whole before the output is opened: writing the
    // values back into the file they came from is the usual merge, and
    // opening that file for writing first would empty it.
    std::string text;
    if (!readWholeFile(inPath, text)) return false;
    // (fmemopen takes no empty buffer; an empty input has no lines to read.)
    FILE* in = text.empty() ? nullptr : fmemopen(&text[0], text.size(), "r");
    if (in == nullptr && !text.empty()) return false;
    bool refused;
    FILE* out = openRegular(outPath, true, refused);
    if (out == nullptr) {
        if (in != nullptr) fclose(in);
        return false;
    }
    for (Property* p = _first; p != nullptr; p = p->next) p->merged = false;

    bool ok = true;
    char line[kLineBuffer];
    LineReader reader(in);
    while (reader.next(line, sizeof(line))) {
        const int lineNo = reader.lineNo();
        const char* colon = isSkipped(line) ? nullptr : strchr(line, ':');
        if (colon == nullptr) {
            fprintf(out, "%s\n", line);
            if (isSkipped(line)) continue;
            log(0, kExpectedMessage, inPath, lineNo);
            ok = false;
            break;
        }
        std::string key(line, colon - line);
        Property* entry = find(key.c_str());
        if (entry == nullptr) {
            fprintf(out, "%s\n", line);
            continue;
        }
        entry->merged = true;
        if (strcmp(entry->value, skipSpace(colon + 1)) != 0)
            fprintf(out, "%s: %s\n", entry->key, entry->value);
        else
            fprintf(out, "%s\n", line);
    }
    for (const Property* p = _first; p != nullptr; p = p->next)
        if (!p->merged) fprintf(out, "%s: %s\n", p->key, p->value);

    if (in != nullptr) fclose(in);
    if (ferror(out)) ok = false;
    if (fclose(out) != 0) ok = false;
    return ok;
}

Properties* Properties::diff(const Properties* other) const {
    Properties* result = new Properties;
    for (const Property* p = _first; p != nullptr; p = p->next) {
        const char* theirs = other != nullptr ? other->getProperty(p->key) : nullptr;
        if (theirs == nullptr || strcmp(theirs, p->value) != 0) result->setProperty(p->key, p->value, -1);
    }
    return result;
}

void Properties::logProperties(const char* label) const {
    for (const Property* p = _first; p != nullptr; p = p->next) log(0, "%s: %s = %s", label, p->key, p->value);
}

namespace {

// What every typed reader does for a key the file lacks.
template <typename T>
bool readAbsent(const char* key, const char* label, bool required, T& out, T def) {
    if (required) {
        log(0, "%s: property %s is required but was missing", label, key);
        return false;
    }
    out = def;
    return true;
}

}  // namespace

bool Properties::intFromProperty(const char* key, const char* label, bool required, int& out, int def) const {
    const Property* p = find(key);
    if (p == nullptr) return readAbsent(key, label, required, out, def);
    // Digits only; accumulated in 32 bits where an overflow simply wraps.
    uint32_t value = 0;
    for (const char* c = p->value; *c != '\0'; c++) {
        if (*c < '0' || *c > '9') {
            log(0, "%s: property %s is not an integer value", label, key);
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(*c - '0');
    }
    out = static_cast<int>(value);
    return true;
}

bool Properties::levelFromProperty(const char* key, const char* label, bool required, int& out, int def) const {
    const Property* p = find(key);
    if (p == nullptr) return readAbsent(key, label, required, out, def);
    for (const LevelName& l : kLevels) {
        if (strcmp(p->value, l.name) == 0) {
            out = l.level;
            return true;
        }
    }
    log(0, "%s. (property = %s, line = %d, Use TRACE, DEBUG, INFO, WARNING, ERROR or CRICICAL)", label, key,
        p->line);
    return false;
}

bool Properties::boolFromProperty(const char* key, const char* label, bool required, bool& out, bool def) const {
    const Property* p = find(key);
    if (p == nullptr) return readAbsent(key, label, required, out, def);
    static const char* const kTrue[] = {"on", "true", "ON", "TRUE"};
    static const char* const kFalse[] = {"off", "false", "OFF", "FALSE"};
    for (const char* t : kTrue) {
        if (strcmp(p->value, t) == 0) {
            out = true;
            return true;
        }
    }
    for (const char* f : kFalse) {
        if (strcmp(p->value, f) == 0) {
            out = false;
            return true;
        }
    }
    log(0, "%s. (property = %s, line = %d, Use ON, OFF, TRUE, or FALSE)", label, key, p->line);
    return false;
}

bool Properties::doubleFromProperty(const char* key, const char* label, bool required, double& out,
                                    double def) const {
    const Property* p = find(key);
    if (p == nullptr) return readAbsent(key, label, required, out, def);
    out = strtod(p->value, nullptr);
    return true;
}

namespace {

// Copies the fixed keys of a newly loaded file into their variables. An
// unusable value is logged by its reader and leaves its variable alone.
// Runs one typed reader into a setting: the reader fills a plain value,
// which the setting takes in one store when the reader accepted it.
template <class T>
void readSetting(const Properties* p, bool (Properties::*reader)(const char*, const char*, bool, T&, T) const,
                 const char* key, ReloadedSetting<T>& setting, T def) {
    T value = setting;
    if ((p->*reader)(key, kPropertiesLabel, false, value, def)) setting = value;
}

void applyFixedKeys(const Properties* p) REQUIRES(_reloadLock) {
    struct LevelKey {
        const char* key;
        LogThreshold* level;
    } levels[] = {
        {"log_roll", &_debug_logs},     {"log_ft", &_debug_ft},     {"log_creds", &_debug_creds},
        {"log_coms", &_debug_coms},     {"log_netclient", &_debug_netclient}, {"log_domain", &_debug_domain},
        {"log_sel", &_debug_sel},       {"log_io", &_debug_io},     {"log_java", &_debug_java},
        {"log_csv", &_debug_csv},
    };
    for (const LevelKey& l : levels) readSetting(p, &Properties::levelFromProperty, l.key, *l.level, int(LOG_INFO));
    readSetting(p, &Properties::boolFromProperty, "hourly_logs", _hourlyLogs, false);
    readSetting(p, &Properties::boolFromProperty, "upgrade_certs", _upgrade_certs, false);
    readSetting(p, &Properties::intFromProperty, "ft_listen_queue_size", _ft_listen_queue, 25);
    readSetting(p, &Properties::intFromProperty, "listen_queue_size", _listen_queue, 10);
    readSetting(p, &Properties::intFromProperty, "creds_buffer_size", _creds_buffer_size, 0);
    // The lookup child refuses a larger buffer, which would fail every
    // lookup; a value past 2^31 has wrapped negative and is as large.
    int credsBuffer = _creds_buffer_size;
    if (credsBuffer < 0 || credsBuffer > kCredsMaxBufferSize) {
        log(0, "%s: property creds_buffer_size %s is above the largest lookup buffer; %d is used", kPropertiesLabel,
            p->getProperty("creds_buffer_size"), kCredsMaxBufferSize);
        _creds_buffer_size = kCredsMaxBufferSize;
    }

    if (p->find("libnss-sss_creds_workaround") != nullptr) {
        _nss_creds_workaround = true;
        log(0, "libnss-sss creds workaround engaged");
    }

    const char* groups = p->getProperty("auth_group_lock");
    char* copy = copyString(groups);
    char* old;
    {
        CriticalSection hold(_apLock);
        old = _authGroupLock;
        _authGroupLock = copy;
    }
    free(old);
    if (groups != nullptr) log(0, "auth_group_lock: '%s'", groups);
}

// The reload lock for a scope, unless this thread already holds it: the
// load callback may itself check the file or set the path.
class SCOPED_CAPABILITY ReloadTurn {
public:
    ReloadTurn() ACQUIRE(_reloadLock) NO_THREAD_SAFETY_ANALYSIS : _entered(!_reloadingHere) {
        if (_entered) _reloadLock.enter();
    }
    ~ReloadTurn() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
        if (_entered) _reloadLock.exit();
    }
    ReloadTurn(const ReloadTurn&) = delete;
    ReloadTurn& operator=(const ReloadTurn&) = delete;

    // Whether an outer call on this thread is reloading right now.
    bool nested() const { return !_entered; }

private:
    bool _entered;
};

}  // namespace

void s_setDravikaPropertiesPath(const char* path) {
    char* copy = copyString(path);
    ReloadTurn turn;
    free(_apPath);
    _apPath = copy;
}

bool s_testDravikaProperties(bool verbose, void (*onLoad)(const Properties*)) {
    ReloadTurn turn;
    // Called from the load callback: the properties being installed are the
    // current ones.
    if (turn.nested()) return true;
    if (_apPath == nullptr) return true;
    std::string path = _apPath;

    char adjusted[8192];
    struct stat st;
    if (stat(s_adjust_path(adjusted, sizeof(adjusted), path.c_str()), &st) != 0) {
        if (!_missingFileReported) {
            _missingFileReported = true;
            log(0, "Warning: file %s was not found. All properties set to defaults", path.c_str());
        }
        return true;
    }
    long long mtime = static_cast<long long>(st.st_mtime);
    if (mtime == _apLastLoad) return true;
    if (verbose) {
        if (_apLastLoad < 1)
            log(0, "Reading %s, ...", path.c_str());
        else
            log(0, "Config file, %s, has changed", path.c_str());
    }
    // Recorded before loading: a file that fails to load is not read again
    // until it changes once more.
    _apLastLoad = mtime;

    Properties* loaded = new Properties;
    if (!loaded->load(path.c_str(), false)) {
        log(0, "Failed to load %s", path.c_str());
        delete loaded;
        return false;
    }
    Properties* old;
    {
        CriticalSection hold(_apLock);
        old = _ap;
        _ap = loaded;
    }
    delete old;

    if (verbose) loaded->logProperties(kPropertiesLabel);
    applyFixedKeys(loaded);
    if (onLoad != nullptr) {
        _reloadingHere = true;
        onLoad(loaded);
        _reloadingHere = false;
    }
    return true;
}

const Properties* s_getDravikaProperties() {
    CriticalSection hold(_apLock);
    return _ap;
}

void s_withDravikaProperties(void (*fn)(const Properties* current, void* arg), void* arg) {
    CriticalSection hold(_apLock);
    fn(_ap, arg);
}

namespace {

// A typed reader run over the current properties, under the lock that keeps
// a reload from replacing them meanwhile; def when nothing is loaded.
template <typename T>
T readCurrent(bool (Properties::*reader)(const char*, const char*, bool, T&, T) const, const char* key, T def) {
    T out = def;
    CriticalSection hold(_apLock);
    if (_ap != nullptr) (_ap->*reader)(key, kPropertiesLabel, false, out, def);
    return out;
}

}  // namespace

int s_getIntProperty(const char* key, int def) {
    return readCurrent(&Properties::intFromProperty, key, def);
}

int s_getLevelProperty(const char* key, int def) {
    return readCurrent(&Properties::levelFromProperty, key, def);
}

bool s_getBoolProperty(const char* key, bool def) {
    return readCurrent(&Properties::boolFromProperty, key, def);
}

double s_getDoubleProperty(const char* key, double def) {
    return readCurrent(&Properties::doubleFromProperty, key, def);
}

char* s_getStringProperty(const char* key, const char* def) {
    CriticalSection hold(_apLock);
    const char* value = _ap != nullptr ? _ap->getProperty(key) : nullptr;
    return copyString(value != nullptr ? value : def);
}

void s_freeStringProperty(char* value) {
    free(value);
}

char* s_getAuthGroupLock() {
    CriticalSection hold(_apLock);
    return copyString(_authGroupLock);
}

bool s_readCpuAffinity(cpu_set_t* set) {
    char* value = s_getStringProperty("cpu_affinity", nullptr);
    if (value == nullptr) return false;
    CPU_ZERO(set);
    char text[kCpuAffinityText + 1];
    snprintf(text, sizeof(text), "%s", value);
    s_freeStringProperty(value);

    char* save = nullptr;
    for (char* piece = strtok_r(text, ", \t", &save); piece != nullptr; piece = strtok_r(nullptr, ", \t", &save)) {
        long cpu = strtol(piece, nullptr, 10);
        if (cpu < 0) {
            log(0, "Fatal error: cpu_affinity setting is invalid");
            exit(1);
        }
        log(0, "setting cpu %ld", cpu);
        if (cpu < CPU_SETSIZE) CPU_SET(cpu, set);
    }
    return true;
}
