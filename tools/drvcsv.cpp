// drvcsv: streams a CSV file through the CSV reader and prints the converted
// rows, then the warning and error counts.
//
//   drvcsv FILE [--encoding NAME] [--map IN=OUT:TYPE]... [--transform 'COL=EXPR']...
//               [--header N] [--quote C] [--separator C] [--json]
//
// --map sends input column IN to output column OUT with TYPE string, double,
// date, timestamp or a type number; without --map every column of the first
// line goes to the same column as a string. --transform runs the script
// expression EXPR on output column COL, with the field's text in VALUE.
// --encoding names the file's character set ("*" detects it). Rows print as
// "a | b | c" lines, or as one JSON array per line with --json; a row's
// conversion errors go to standard error. The exit status is 0 without
// errors, 1 with errors, 2 when FILE cannot be read, 64 for a bad command
// line.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/os.h"
#include "csv/csv_config.h"
#include "csv/csv_parse.h"
#include "csv/hyper_csv.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "io/input.h"
#include "io/utf8.h"
#include "script/builtins.h"
#include "script/date.h"
#include "script/error.h"
#include "script/location.h"
#include "script/registry.h"
#include "script/varset.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: drvcsv FILE [--encoding NAME] [--map IN=OUT:TYPE]... [--transform 'COL=EXPR']...\n"
            "              [--header N] [--quote C] [--separator C] [--json]\n"
            "  TYPE: string, double, date, timestamp, or a type number\n"
            "  -h, --help   show this text\n"
            "Exit status: 0 without errors; 1 when a row or the file had errors; 2 when\n"
            "FILE cannot be read; 64 for a bad command line.\n");
}

int usageError(const std::string& problem) {
    fprintf(stderr, "drvcsv: %s\nTry 'drvcsv --help'.\n", problem.c_str());
    return 64;
}

// A count of lines: digits only.
bool parseCount(const char* text, int* count) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || v > 1000000000L) return false;
    *count = static_cast<int>(v);
    return true;
}

struct Mapping {
    int in;
    int out;
    int type;
};

bool parseType(const char* text, int* type) {
    static const std::map<std::string, int> kNames = {{"string", CSV_TYPE_STRING},
                                                      {"double", CSV_TYPE_DOUBLE},
                                                      {"date", CSV_TYPE_DATE},
                                                      {"timestamp", CSV_TYPE_TIMESTAMP}};
    auto it = kNames.find(text);
    if (it != kNames.end()) {
        *type = it->second;
        return true;
    }
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 0xFFFF) return false;
    *type = static_cast<int>(v);
    return true;
}

bool parseMap(const char* text, Mapping* m) {
    int used = 0;
    char type[32] = "string";
    if (sscanf(text, "%d=%d%n", &m->in, &m->out, &used) != 2) return false;
    if (text[used] == ':') {
        if (strlen(text + used + 1) >= sizeof type) return false;
        strcpy(type, text + used + 1);
    } else if (text[used] != '\0') {
        return false;
    }
    return m->in >= 1 && m->out >= 1 && parseType(type, &m->type);
}

// The number of fields in the file's first line that is not blank, read
// through the same character-set conversion as the rows and counted by the
// streaming reader's own line rules. The file is read until that line has
// ended, however long it is: a line cut short would leave its later
// columns out of every row.
int firstLineFields(const char* path, const char* encoding, const char* quote, const char* separator) {
    // Opened as the reader opens it: a named pipe that nobody writes to
    // reads as empty instead of holding the open until a writer comes.
    int fd = s_open_nowait(path, O_RDONLY, 0, true);
    if (fd < 0) return 0;
    Input input(fd, encoding);
    std::string head;
    unsigned char buf[65536];
    // Counted again each time the text has doubled, so that a long line
    // costs linear time.
    size_t countAt = sizeof buf;
    int n;
    while ((n = input.read(buf, sizeof buf)) > 0) {
        head.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        if (head.size() < countAt) continue;
        bool whole = false;
        int fields = csvFirstLineFields(head.data(), head.size(), quote, separator, &whole);
        if (whole) return fields;
        countAt = head.size() * 2;
    }
    return csvFirstLineFields(head.data(), head.size(), quote, separator);
}

std::string isoDate(long long ms) {
    time_t secs = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
    return text;
}

// The display text of a value: strings with control characters escaped.
std::string plain(Any* v) {
    if (v == nullptr || v->getType() == ANY_NULL) return "null";
    if (v->getHint() == HINT_DATE) return isoDate(v->getInt64());
    if (v->getType() == ANY_DOUBLE) {
        char text[64];
        snprintf(text, sizeof text, "%.17g", v->getDouble());
        return text;
    }
    const char* s = v->getString();
    if (s != nullptr) {
        std::string out;
        for (int i = 0; s[i] != '\0';) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != 0x7F && c != '\\') {
                int start = i;
                u8_inc(s, &i);
                out.append(s + start, static_cast<size_t>(i - start));
                continue;
            }
            char esc[16];
            u8_escape_wchar(esc, sizeof esc, u8_nextchar(s, &i));
            out += esc;
        }
        return out;
    }
    char* text = v->toString(nullptr);
    std::string out = text != nullptr ? text : "?";
    free(text);
    return out;
}

std::string json(Any* v) {
    if (v == nullptr || v->getType() == ANY_NULL) return "null";
    if (v->getHint() == HINT_DATE) return "\"" + isoDate(v->getInt64()) + "\"";
    if (v->getType() == ANY_DOUBLE) {
        double d = v->getDouble();
        if (d != d || d - d != 0) return "null";  // NaN and infinities have no JSON form
        char text[64];
        snprintf(text, sizeof text, "%.17g", d);
        return text;
    }
    const char* s = v->getString();
    if (s != nullptr) {
        char* quoted = escapeJSONString(s);
        std::string out = quoted != nullptr ? quoted : "null";
        free(quoted);
        return out;
    }
    char* text = v->toJSON(nullptr);
    std::string out = text != nullptr ? text : "null";
    free(text);
    return out;
}

std::string where(const Error* e) {
    const Location* at = e->firstLocation();
    if (at == nullptr) return "";
    return " (" + std::string(at->fileName != nullptr ? at->fileName : "") + ":" + std::to_string(at->line) + ":" +
           std::to_string(at->column) + ")";
}

// Messages of the reader may end in a newline of their own.
std::string message(const Error* e) {
    std::string m = e->message != nullptr ? e->message : "";
    while (!m.empty() && m.back() == '\n') m.pop_back();
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    const char* encoding = nullptr;
    const char* quote = "\"";
    const char* separator = ",";
    int headerLines = 0;
    bool asJson = false;
    std::vector<Mapping> maps;
    std::map<int, std::string> transforms;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        bool takesValue = strcmp(a, "--encoding") == 0 || strcmp(a, "--quote") == 0 ||
                          strcmp(a, "--separator") == 0 || strcmp(a, "--header") == 0 || strcmp(a, "--map") == 0 ||
                          strcmp(a, "--transform") == 0;
        if (takesValue && i + 1 >= argc) return usageError(std::string(a) + " needs a value");
        if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(a, "--json") == 0) {
            asJson = true;
        } else if (strcmp(a, "--encoding") == 0) {
            encoding = argv[++i];
        } else if (strcmp(a, "--quote") == 0) {
            quote = argv[++i];
        } else if (strcmp(a, "--separator") == 0) {
            separator = argv[++i];
        } else if (strcmp(a, "--header") == 0) {
            if (!parseCount(argv[++i], &headerLines))
                return usageError(std::string("bad --header ") + argv[i] + " (want a count of lines)");
        } else if (strcmp(a, "--map") == 0) {
            Mapping m;
            if (!parseMap(argv[++i], &m))
                return usageError(std::string("bad --map ") + argv[i] + " (want IN=OUT:TYPE)");
            maps.push_back(m);
        } else if (strcmp(a, "--transform") == 0) {
            const char* text = argv[++i];
            const char* eq = strchr(text, '=');
            int col = atoi(text);
            if (eq == nullptr || col < 1)
                return usageError(std::string("bad --transform ") + text + " (want COL=EXPR)");
            transforms[col] = eq + 1;
        } else if (a[0] == '-') {
            return usageError(std::string("unknown option ") + a);
        } else if (path != nullptr) {
            return usageError(std::string("one file at a time (also got ") + a + ")");
        } else {
            path = a;
        }
    }
    if (path == nullptr) return usageError("no FILE given");
    // The reader would take a folder for an empty file that fails to read.
    struct stat st;
    int unreadable = access(path, R_OK) != 0 || stat(path, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (unreadable != 0) {
        fprintf(stderr, "drvcsv: cannot read %s: %s\n", path, strerror(unreadable));
        return 2;
    }
    script_installHooks();
    // Transforms may use the built-in classes (Date.parse and the like).
    script_registerBuiltins();
    script_registerDate();

    if (maps.empty()) {
        int fields = firstLineFields(path, encoding, quote, separator);
        for (int c = 1; c <= fields; c++) maps.push_back({c, c, CSV_TYPE_STRING});
    }
    CSVConfig config(path, nullptr, 9, encoding, quote, separator, headerLines);
    for (auto it = maps.rbegin(); it != maps.rend(); ++it) {
        auto t = transforms.find(it->out);
        config.addRow(new CSVRow(it->in, it->out, it->type, t != transforms.end() ? t->second.c_str() : nullptr));
    }
    for (const auto& t : transforms) {
        bool used = false;
        for (const Mapping& m : maps) used = used || m.out == t.first;
        if (!used) fprintf(stderr, "drvcsv: --transform for column %d, which nothing is mapped to\n", t.first);
    }

    ObjRef scope(new VarSet(nullptr, AbstractVarSet::FUNCTION));
    HyperCSV* reader = new HyperCSV(nullptr, &config, nullptr, &scope);
    reader->setWindowSize(HyperCSV::kLargeWindowSize);
    reader->start();
    long long rowNumber = 0;
    std::multiset<std::string> shownWithRows;
    CSVResultRow* row = nullptr;
    // Each row goes back to the reader when the next is asked for.
    while ((row = reader->getNext(row)) != nullptr) {
        rowNumber++;
        std::string line = asJson ? "[" : "";
        for (int i = 0; i < row->count(); i++) {
            if (i > 0) line += asJson ? "," : " | ";
            line += asJson ? json(row->get(i)) : plain(row->get(i));
        }
        line += asJson ? "]\n" : "\n";
        fputs(line.c_str(), stdout);
        // Errors go to standard error right after their row.
        if (!row->errors().empty()) fflush(stdout);
        for (const Error* e : row->errors()) {
            fprintf(stderr, "row %lld: %s%s\n", rowNumber, message(e).c_str(), where(e).c_str());
            shownWithRows.insert(message(e) + where(e));
        }
    }
    reader->join();
    fflush(stdout);
    // Row errors were shown with their rows; the others (opening, reading,
    // expressions that do not parse, an unterminated quote) are shown here.
    for (const Error* e : reader->errors()) {
        auto shown = shownWithRows.find(message(e) + where(e));
        if (shown != shownWithRows.end()) {
            shownWithRows.erase(shown);
            continue;
        }
        fprintf(stderr, "error: %s%s\n", message(e).c_str(), where(e).c_str());
    }
    for (const Error* e : reader->warnings())
        fprintf(stderr, "warning: %s%s\n", message(e).c_str(), where(e).c_str());
    int errors = static_cast<int>(reader->errors().size());
    printf("rows: %lld, warnings: %d, errors: %d\n", reader->totalRows(), static_cast<int>(reader->warnings().size()),
           errors);
    delete reader;
    static_cast<VarSet*>(scope.get())->clear();
    return errors == 0 ? 0 : 1;
}
