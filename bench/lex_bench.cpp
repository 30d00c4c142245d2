// The script lexer's throughput and memory: a generated source of script
// text (functions with keywords, identifiers, integers and fractions,
// strings with escapes, line and block comments, punctuation) lexed to the
// end, in MB/s, beside a floor measured in the same run over the same bytes:
// a minimal hand-written single-pass splitter that finds the same tokens,
// decodes the escapes and copies each word and string into one reused
// buffer, the least any lexer must do.
//
//   stream: the lexer reading a file through its window (a LexStream over
//     read()); the floor reads the same file with read() in blocks of the
//     window's size.
//   string: the lexer over the whole text in memory (it takes a copy); the
//     floor splits the same text where it lies.
//
// Each case runs five times, lexer and floor alternating, and the table
// gives the medians of process CPU time as MB/s with the ratio lexer /
// floor (lower is better). Both sides count the tokens; the counts must
// agree, or the program says so and fails.
//
// Last, the memory a stream costs: the heap the lexer holds at most while
// it lexes a stream of the size given and of four times that size (made on
// the fly, no file). A window of fixed size means the two are the same.
//
//   bench_lex [MB]       (default 32)
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "script/lex.h"

namespace {

using bench::median;
using bench::cpuSeconds;

const int kRepeats = 5;

// One function of the generated source; n makes every copy differ a little.
std::string sourceBlock(int n) {
    std::string k = std::to_string(n);
    return "// Totals the counters of interface " + k + ".\n"
           "function total_" + k + "(list, limit) {\n"
           "    var sum = 0, name = 'iface\\t" + k + "', scale = " + std::to_string(n % 997) + ".25;\n"
           "    /* the rate in kbit/s, from bytes:\n"
           "       eight bits to a byte */\n"
           "    for (var i = 0; i < limit; i++) {\n"
           "        if (list[i].rate > 12.5 && list[i].up == true) { sum = sum + list[i].rate * 8; }\n"
           "        else { sum = sum - 1; }\n"
           "    }\n"
           "    var text = \"rx \\\"" + k + "\\\" bytes: \" + sum * scale;\n"
           "    return { 'name': name, 'total': sum, 'ok': !(sum < 0) };\n"
           "};\n";
}

std::string makeSource(size_t bytes) {
    std::string s;
    s.reserve(bytes + 1024);
    for (int n = 0; s.size() < bytes; n++) s += sourceBlock(n);
    return s;
}

// The floor: a splitter that keeps its state across blocks, so that it can
// be fed the bytes as they come.
class Splitter {
public:
    long long tokens = 0;

    void feed(const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; i++) step(p[i]);
    }
    void finish() { step(-1); }

private:
    enum State { NONE, WORD, NUMBER, NUMBER_DOT, FRACTION, STRING, STRING_ESCAPE, SLASH, LINE_COMMENT, BLOCK, BLOCK_STAR };
    State state = NONE;
    int quote = 0;
    std::vector<char> text = std::vector<char>(256);
    size_t length = 0;

    static bool wordStart(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$'; }
    static bool digit(int c) { return c >= '0' && c <= '9'; }
    void add(int c) {
        if (length == text.size()) text.resize(text.size() * 2);
        text[length++] = static_cast<char>(c);
    }
    void begin(State s) {
        tokens++;
        length = 0;
        state = s;
    }

    void step(int c) {
        switch (state) {
        case WORD:
            if (wordStart(c) || digit(c)) {
                add(c);
                return;
            }
            break;
        case NUMBER:
            if (digit(c)) return;
            if (c == '.') {
                state = NUMBER_DOT;
                return;
            }
            break;
        case NUMBER_DOT:
            if (digit(c)) {
                state = FRACTION;
                return;
            }
            tokens++;  // the '.' was punctuation of its own
            break;
        case FRACTION:
            if (digit(c)) return;
            break;
        case STRING:
            if (c == '\\')
                state = STRING_ESCAPE;
            else if (c == quote || c < 0)
                state = NONE;
            else
                add(c);
            return;
        case STRING_ESCAPE:
            add(c == 't' ? '\t' : c == 'n' ? '\n' : c);
            state = STRING;
            return;
        case SLASH:
            if (c == '/') {
                state = LINE_COMMENT;
                return;
            }
            if (c == '*') {
                state = BLOCK;
                return;
            }
            tokens++;  // a '/' of its own
            break;
        case LINE_COMMENT:
            if (c == '\n' || c < 0) state = NONE;
            return;
        case BLOCK:
            if (c == '*') state = BLOCK_STAR;
            return;
        case BLOCK_STAR:
            state = c == '/' ? NONE : c == '*' ? BLOCK_STAR : BLOCK;
            return;
        case NONE: break;
        }
        state = NONE;
        if (c < 0 || c == ' ' || c == '\n' || c == '\t' || c == '\r') return;
        if (wordStart(c)) {
            begin(WORD);
            add(c);
        } else if (digit(c)) {
            begin(NUMBER);
        } else if (c == '"' || c == '\'') {
            begin(STRING);
            quote = c;
        } else if (c == '/') {
            state = SLASH;
        } else {
            tokens++;
        }
    }
};

class FdStream : public LexStream {
public:
    explicit FdStream(int fd) : _fd(fd) {}
    int read(unsigned char* buffer, int length) override {
        ssize_t n = ::read(_fd, buffer, static_cast<size_t>(length));
        return n > 0 ? static_cast<int>(n) : n == 0 ? -1 : -2;
    }

private:
    int _fd;
};

// The generated source over and over, `bytes` in all, made as it is read.
class RepeatStream : public LexStream {
public:
    RepeatStream(const std::string& block, size_t bytes) : _block(block), _left(bytes) {}
    int read(unsigned char* buffer, int length) override {
        if (_left == 0) return -1;
        size_t n = std::min({static_cast<size_t>(length), _left, _block.size() - _at});
        memcpy(buffer, _block.data() + _at, n);
        _at = (_at + n) % _block.size();
        _left -= n;
        return static_cast<int>(n);
    }

private:
    const std::string& _block;
    size_t _left;
    size_t _at = 0;
};

long long heapInUse() {
    struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
}

// Lexes to the end; -1 after a lexing error. With peak set, the most heap
// held above what was held before the lexer was made, sampled every 1,024
// tokens.
long long lexAll(Lex& lex, long long base = 0, long long* peak = nullptr) {
    Token t;
    t.regexAllowed = false;  // the source divides nothing: every '/' starts a comment
    long long tokens = 0;
    for (;;) {
        lex.nextToken(&t);
        if (t.type == TOKEN_END) return tokens;
        if (t.type == TOKEN_ERROR) {
            fprintf(stderr, "lexing failed after %lld tokens: %s\n", tokens,
                    t.value.getType() == ANY_STRING ? t.value.getString() : "?");
            return -1;
        }
        tokens++;
        if (peak != nullptr && (tokens & 1023) == 0) *peak = std::max(*peak, heapInUse() - base);
    }
}

long long lexFile(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    FdStream in(fd);
    long long tokens;
    {
        Lex lex(&in, 1, 0, false);
        tokens = lexAll(lex);
    }
    close(fd);
    return tokens;
}

long long splitFile(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    Splitter s;
    unsigned char block[Lex::kWindow];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0) s.feed(block, static_cast<size_t>(n));
    s.finish();
    close(fd);
    return n < 0 ? -1 : s.tokens;
}

long long lexString(const std::string& source) {
    Lex lex(source.c_str(), 1, 0, false);
    return lexAll(lex);
}

long long splitString(const std::string& source) {
    Splitter s;
    s.feed(reinterpret_cast<const unsigned char*>(source.data()), source.size());
    s.finish();
    return s.tokens;
}

// The most heap a lexer over a made-up stream of about `bytes` holds. The
// stream is whole blocks, so that it never ends inside a string or comment.
long long streamPeak(const std::string& block, size_t bytes, long long* tokens) {
    RepeatStream in(block, (bytes + block.size() - 1) / block.size() * block.size());
    long long base = heapInUse(), peak = 0;
    Lex lex(&in, 1, 0, false);
    *tokens = lexAll(lex, base, &peak);
    return peak;
}

struct Row {
    const char* name;
    std::vector<double> ours, floor;
    long long ourTokens = 0, floorTokens = 0;
};

template <class Ours, class Floor>
void timeRound(Row& row, Ours ours, Floor floor) {
    double start = cpuSeconds();
    row.ourTokens = ours();
    row.ours.push_back(cpuSeconds() - start);
    start = cpuSeconds();
    row.floorTokens = floor();
    row.floor.push_back(cpuSeconds() - start);
}

}  // namespace

int main(int argc, char** argv) {
    long mb = argc > 1 ? strtol(argv[1], nullptr, 10) : 32;
    if (mb < 1 || mb > 4096) {
        fprintf(stderr, "usage: bench_lex [MB]   (1 to 4096, default 32)\n");
        return 2;
    }
    std::string source = makeSource(static_cast<size_t>(mb) << 20);
    char path[] = "/tmp/drv_lex_bench.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        perror("mkstemp");
        return 1;
    }
    bool written = write(fd, source.data(), source.size()) == static_cast<ssize_t>(source.size());
    close(fd);
    if (!written) {
        fprintf(stderr, "cannot write %s\n", path);
        unlink(path);
        return 1;
    }

    Row rows[2] = {{"stream (window over a file)", {}, {}}, {"string (whole text in memory)", {}, {}}};
    for (int r = 0; r < kRepeats; r++) {
        timeRound(rows[0], [&] { return lexFile(path); }, [&] { return splitFile(path); });
        timeRound(rows[1], [&] { return lexString(source); }, [&] { return splitString(source); });
    }
    unlink(path);

    double size = static_cast<double>(source.size()) / 1e6;
    bool agree = true;
    printf("%.0f MB of script text; median of %d runs, process CPU time\n", size, kRepeats);
    printf("  %-30s %10s %10s %8s %12s\n", "", "lexer MB/s", "floor MB/s", "ratio", "tokens");
    for (const Row& row : rows) {
        double o = median(row.ours), f = median(row.floor);
        printf("  %-30s %10.0f %10.0f %8.2f %12lld\n", row.name, size / o, size / f, o / f, row.ourTokens);
        if (row.ourTokens != row.floorTokens) {
            printf("  the floor found %lld tokens, the lexer %lld: the two do not split alike\n", row.floorTokens,
                   row.ourTokens);
            agree = false;
        }
    }

    // The block repeated makes a stream of any size without holding it.
    std::string block = makeSource(1 << 16);
    size_t bytes = static_cast<size_t>(mb) << 20;
    long long smallTokens = 0, largeTokens = 0;
    long long small = streamPeak(block, bytes, &smallTokens);
    long long large = streamPeak(block, 4 * bytes, &largeTokens);
    printf("Heap held by the lexer at most while lexing a stream (sampled every 1,024 tokens):\n");
    printf("  %5ld MB: %8lld bytes    %5ld MB: %8lld bytes\n", mb, small, 4 * mb, large);
    if (smallTokens < 0 || largeTokens < 0) agree = false;
    return agree ? 0 : 1;
}
