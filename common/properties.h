// The runtime's settings: one text file of key-colon-value lines
// (dravika.properties), reloaded when its modification time changes, the
// process-wide variables that each reload fills from fixed keys, and typed
// getters with defaults for every other key.
//
// Thread-safety: a Properties object is not thread-safe; the process-wide
// functions are. Reloads are serialised by the reload lock, which is held
// across the load callback (the callback may check again or read the
// getters); the current object is guarded by its own lock, taken after the
// reload lock, so that a getter never reads an object a reload deletes.
#ifndef DRV_COMMON_PROPERTIES_H
#define DRV_COMMON_PROPERTIES_H

#include <sched.h>

#include "common/reloaded_setting.h"

class Attributes;

// One line of a properties file (or one value set by hand).
struct Property {
    char* key;       // exactly as written before the separator, not trimmed
    char* value;
    int line;        // line number counted from 1; -1 when set by copying
    bool merged;     // found in the file that merge() is rewriting
    Property* next;
};

// A singly linked list of entries, newest first: a lookup finds the last
// occurrence of a key in the file.
class Properties {
public:
    // Longest key a file line may define, and longest value in the equals form.
    static const int kMaxKey = 127;
    static const int kMaxEqualsValue = 127;
    // fgets buffer: a longer line is read as several lines.
    static const int kLineBuffer = 4096;

    Properties();
    ~Properties();
    // Copies every entry of other (line -1); the copy lists them in reverse order.
    Properties(const Properties& other);
    Properties& operator=(const Properties&) = delete;

    void copyFrom(const Properties* other);

    // Adds the entries of a file: "key: value" lines, or "key=value" lines
    // with backslashes removed from the value when equalsForm is set. A file
    // that cannot be opened adds nothing and succeeds. Anything but a regular
    // file (a named pipe, a device, a directory) is not opened for long
    // enough to wait on it: it is logged and fails the load. A line without
    // the separator, or a read that fails, is logged and ends the load with
    // false; entries read before it stay.
    bool load(const char* path, bool equalsForm);

    // Writes inPath to outPath with the values of this object put into the
    // lines whose keys it has, keeping comments, blank lines and order, then
    // appends the entries the file did not have. inPath and outPath may name
    // the same file: the input is read whole before the output is written.
    // False when a file cannot be opened or is no regular file, the input
    // cannot be read, or a line has no colon (the rest of the input is then
    // dropped).
    bool merge(const char* inPath, const char* outPath);

    // A new object with every entry of this one whose key is missing from
    // other or whose value differs there. The caller deletes it.
    Properties* diff(const Properties* other) const;

    // The value of the newest entry with the key (exact match), or null; owned by this object.
    const char* getProperty(const char* key) const;
    Property* find(const char* key) const;
    // Puts a new entry in front; an existing entry with the key stays behind it.
    void setProperty(const char* key, const char* value, int line);
    // One log line "label: key = value" per entry, newest first.
    void logProperties(const char* label) const;

    // Typed readers. Each sets out (from the value, or from def when the key
    // is absent and not required) and returns true, or logs why the value is
    // unusable and returns false with out unchanged.
    bool intFromProperty(const char* key, const char* label, bool required, int& out, int def) const;
    bool levelFromProperty(const char* key, const char* label, bool required, int& out, int def) const;
    bool boolFromProperty(const char* key, const char* label, bool required, bool& out, bool def) const;
    bool doubleFromProperty(const char* key, const char* label, bool required, double& out, double def) const;

    // Every entry as a string attribute; for a key given twice the later
    // line is the one a lookup finds. The caller deletes it. (Built by the
    // value layer, which defines Attributes.)
    Attributes* getProperties() const;

    const Property* first() const { return _first; }

private:
    Property* _first;
};

// The label that the getters and the reload give the typed readers.
extern const char* const kPropertiesLabel;

// Host set-up: the path of the file (a copy is kept).
void s_setDravikaPropertiesPath(const char* path);
// Reloads the file when its modification time changed since the last
// attempt, copies the fixed keys into the variables below, and calls onLoad
// (may be null) with the new properties. True when the current properties
// are valid (unchanged, newly loaded, or no file); false when a reload failed
// and the previous properties stay in force.
bool s_testDravikaProperties(bool verbose, void (*onLoad)(const Properties*));
// The current properties or null. The pointer is valid until the next reload,
// so only the thread that calls s_testDravikaProperties should keep it.
const Properties* s_getDravikaProperties();
// Calls fn with the current properties (null when none are loaded) while no
// reload can replace them. fn runs under the current-properties lock, so it
// must not call the getters (a double entry, reported as such).
void s_withDravikaProperties(void (*fn)(const Properties* current, void* arg), void* arg);
// The current properties as a new Attributes (empty when none are loaded);
// the caller deletes it. Defined by the value layer.
Attributes* s_getAllProperties();

// Getters over the current properties, falling back to def when nothing is
// loaded, the key is absent or its value is unusable (which is logged).
int s_getIntProperty(const char* key, int def);
int s_getLevelProperty(const char* key, int def);
bool s_getBoolProperty(const char* key, bool def);
double s_getDoubleProperty(const char* key, double def);
// A malloc'd copy of the value, else of def, else null. Free with s_freeStringProperty.
char* s_getStringProperty(const char* key, const char* def);
void s_freeStringProperty(char* value);

// Fills set from "cpu_affinity" (CPU numbers separated by commas or blanks).
// False, set untouched, when the key is absent. A negative number is fatal:
// the process exits with status 1.
bool s_readCpuAffinity(cpu_set_t* set);

// Variables filled by each successful reload (the log_* levels go to the
// _debug_* thresholds of common/log.h, "hourly_logs" to _hourlyLogs).
// Written only by the reload, read by anyone (relaxed atomics, see
// common/reloaded_setting.h; pass .get() to printf-style functions).
extern ReloadedSetting<bool> _upgrade_certs;      // "upgrade_certs"
extern ReloadedSetting<int> _ft_listen_queue;     // "ft_listen_queue_size": 50 before any load, 25 by default after
extern ReloadedSetting<int> _listen_queue;        // "listen_queue_size": 50 before any load, 10 by default after
extern ReloadedSetting<int> _creds_buffer_size;   // "creds_buffer_size": 0 lets the system suggest a size
// The largest credential lookup buffer: the lookup child refuses a larger
// one, so a reload holds "creds_buffer_size" to it (and logs when it does).
const int kCredsMaxBufferSize = 1 << 20;
// Set once "libnss-sss_creds_workaround" has appeared in a loaded file; a
// later reload without the key leaves it set.
extern ReloadedSetting<bool> _nss_creds_workaround;

// A malloc'd copy of "auth_group_lock" as of the last reload, or null when
// the key was absent. Free with s_freeStringProperty.
char* s_getAuthGroupLock();

#endif
