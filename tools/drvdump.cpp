// drvdump: an inspector for the tagged object encoding. Prints encoded bytes
// (a bare value stream or a framed message) as a tree of tags with field
// numbers and object ids, or decodes one object through its translator; it
// can also write the encoding of a directory name, to have something to
// inspect. It also lists statistics files and consolidates a day of them.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "common/log.h"
#include "coms/frame.h"
#include "dir/directory.h"
#include "ft/ft_transaction.h"
#include "dirbase/dir_name.h"
#include "dirbase/message.h"
#include "records/stats_file.h"
#include "tools/dump.h"

namespace {

const char kUsage[] =
    "Usage: drvdump [OPTIONS] [FILE]\n"
    "Prints bytes of the tagged object encoding as a tree of values with their\n"
    "field numbers and object ids. Reads FILE, or standard input when FILE is\n"
    "absent or \"-\".\n"
    "\n"
    "  --bare             the input is a bare stream of encoded values\n"
    "  --framed           the input is a framed message: a 9-byte header (byte 3,\n"
    "                     the body length and the message type, 4 bytes each,\n"
    "                     big-endian), then the body. Without either option the\n"
    "                     input counts as framed when its header's length matches\n"
    "                     the bytes that follow\n"
    "  --object ID        decode one object through the translator registered\n"
    "                     for object id ID and print the record's text form\n"
    "                     instead of the tree\n"
    "  --offsets          show the byte offset of every value\n"
    "  --full             print byte blocks whole (default: the first 16 bytes)\n"
    "  --encode-name NAME write the encoding of the directory name NAME (object\n"
    "                     1007) to standard output instead of reading; with\n"
    "                     --framed as a framed message\n"
    "  --type N           the message type of that framed message (default 0)\n"
    "  --stats FILE       list a statistics file: its time span and entry count,\n"
    "                     then each entry's time and its rows (class id, id,\n"
    "                     label and the (kind) values)\n"
    "  --consolidate DIR DAY\n"
    "                     merge the statistics files of DAY (YYYYMMDD or\n"
    "                     YYYY-MM-DD) in DIR into DIR/YYYYMMDD-000000.stats and\n"
    "                     remove the merged ones\n"
    "  -h, --help         show this text\n"
    "\n"
    "Exit status: 0 when the input was read to its end; 1 when it is malformed,\n"
    "with the byte offset where reading stopped, the encoding error code and\n"
    "its text on standard error; 2 for a file that cannot be read or written;\n"
    "64 for a bad command line.\n";

int usageError(const char* fmt, const char* arg) {
    fprintf(stderr, "drvdump: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\nTry 'drvdump --help'.\n");
    return 64;
}

bool parseNumber(const char* text, unsigned long max, unsigned long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end;
    errno = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
    *out = v;
    return true;
}

int encodeName(const char* text, bool framed, unsigned long type) {
    int error = 0;
    DirName* name = DirName::createFromString(text, &error);
    if (name == nullptr) {
        fprintf(stderr, "drvdump: cannot parse the name \"%s\": error %d (%s)\n", text, error,
                DirError::getErrorDescription(error));
        return 1;
    }
    Message m(static_cast<int>(type));
    m.writeObject(OBJ_DIRNAME_ID, name);
    delete name;
    setFrameLength(&m);
    size_t n;
    unsigned char* bytes = m.copyBytes(&n);
    size_t skip = framed ? 0 : 9;
    bool ok = fwrite(bytes + skip, 1, n - skip, stdout) == n - skip && fflush(stdout) == 0;
    free(bytes);
    if (!ok) {
        fprintf(stderr, "drvdump: cannot write: %s\n", strerror(errno));
        return 2;
    }
    return 0;
}

int listStats(const char* path) {
    char why[256];
    int err = 0;
    StatsFile* f = StatsFile::readFromFile(path, why, sizeof(why), &err);
    if (f == nullptr) {
        fprintf(stderr, "drvdump: %s %s%s%s\n", path, why, err != 0 ? ": " : "", err != 0 ? strerror(err) : "");
        // A file that could not be opened or read is not a malformed one.
        return err != 0 ? 2 : 1;
    }
    f->dump(stdout);
    delete f;
    return fflush(stdout) == 0 ? 0 : 2;
}

// "YYYYMMDD" or "YYYY-MM-DD", a real calendar day.
bool parseDay(const char* text, struct tm* day) {
    int y = 0, m = 0, d = 0, used = 0;
    if (!(sscanf(text, "%4d%2d%2d%n", &y, &m, &d, &used) == 3 && used == 8 && text[8] == '\0') &&
        !(sscanf(text, "%4d-%2d-%2d%n", &y, &m, &d, &used) == 3 && used == 10 && text[10] == '\0'))
        return false;
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    struct tm check = t;
    if (y < 1970 || mktime(&check) == -1 || check.tm_mday != d || check.tm_mon != m - 1) return false;
    *day = t;
    return true;
}

int consolidateDay(const char* dir, const char* dayText) {
    struct tm day;
    if (!parseDay(dayText, &day)) return usageError("bad day: %s (want YYYYMMDD or YYYY-MM-DD)", dayText);
    int rv = StatsFile::consolidate(dir, &day);
    fflush(stdout);
    if (rv != 0) fprintf(stderr, "drvdump: could not consolidate the statistics of %s in %s\n", dayText, dir);
    return rv == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Translators log their refusals as warnings; the report below says it.
    _log_level = LOG_CRITICAL + 1;
    DumpOptions options;
    const char* path = nullptr;
    const char* nameToEncode = nullptr;
    unsigned long type = 0;
    const char* statsPath = nullptr;
    const char* consolidateDir = nullptr;
    const char* consolidateDayText = nullptr;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else if (strcmp(a, "--bare") == 0) {
            options.framing = DumpOptions::BARE;
        } else if (strcmp(a, "--framed") == 0) {
            options.framing = DumpOptions::FRAMED;
        } else if (strcmp(a, "--offsets") == 0) {
            options.offsets = true;
        } else if (strcmp(a, "--full") == 0) {
            options.fullBlocks = true;
        } else if (strcmp(a, "--stats") == 0) {
            if (i + 1 == argc) return usageError("%s needs a file", a);
            statsPath = argv[++i];
        } else if (strcmp(a, "--consolidate") == 0) {
            if (i + 2 >= argc) return usageError("%s needs a directory and a day", a);
            consolidateDir = argv[++i];
            consolidateDayText = argv[++i];
        } else if (strcmp(a, "--object") == 0 || strcmp(a, "--type") == 0 || strcmp(a, "--encode-name") == 0) {
            if (i + 1 == argc) return usageError("%s needs a value", a);
            const char* v = argv[++i];
            unsigned long number;
            if (strcmp(a, "--encode-name") == 0) {
                nameToEncode = v;
            } else if (strcmp(a, "--type") == 0) {
                if (!parseNumber(v, 0xFFFFFF, &number)) return usageError("bad message type: %s", v);
                type = number;
            } else {
                if (!parseNumber(v, 0xFFFFFFFFul, &number)) return usageError("bad object id: %s", v);
                options.decodeObject = true;
                options.objectId = static_cast<unsigned int>(number);
            }
        } else if (a[0] == '-' && a[1] != '\0') {
            return usageError("unknown option: %s", a);
        } else if (path != nullptr) {
            return usageError("one input at a time (also got %s)", a);
        } else {
            path = a;
        }
    }

    Directory::init();
    // The file transfer records travel inside directory messages too; the
    // dump knows every record a peer may send.
    ft_registerTranslators();
    if (statsPath != nullptr || consolidateDir != nullptr) {
        if (path != nullptr || nameToEncode != nullptr || (statsPath != nullptr && consolidateDir != nullptr))
            return usageError("%s works alone", statsPath != nullptr ? "--stats" : "--consolidate");
        return statsPath != nullptr ? listStats(statsPath) : consolidateDay(consolidateDir, consolidateDayText);
    }
    if (nameToEncode != nullptr) return encodeName(nameToEncode, options.framing == DumpOptions::FRAMED, type);

    FILE* in = stdin;
    if (path != nullptr && strcmp(path, "-") != 0) {
        in = fopen(path, "rb");
        if (in == nullptr) {
            fprintf(stderr, "drvdump: cannot open %s: %s\n", path, strerror(errno));
            return 2;
        }
    }
    // Read and printed as it goes: memory holds the value being read, not the input.
    bool readError = false;
    DumpResult r = dumpStream(in, options, stdout, &readError);
    if (in != stdin) fclose(in);
    // A dump that did not reach its reader (a full disk, a closed pipe) is no success.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "drvdump: cannot write: %s\n", strerror(errno));
        return 2;
    }
    if (readError) {
        fprintf(stderr, "drvdump: cannot read %s\n", path != nullptr ? path : "standard input");
        return 2;
    }
    if (r.code == 0) return 0;
    if (r.code == -1)
        fprintf(stderr, "drvdump: bad frame header at byte %zu: %s\n", r.offset, r.reason.c_str());
    else
        fprintf(stderr, "drvdump: stopped at byte %zu: error %d (%s): expected %s\n", r.offset, r.code,
                encodingErrorText(r.code), r.reason.c_str());
    return 1;
}
