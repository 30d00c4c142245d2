// The producer side of HyperCSV: opening the input and the task log, the
// character loop over the read window, line and field ends, the queue and
// the end of the run. Field conversion is in hyper_csv_convert.cpp.
#include "csv/hyper_csv.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "common/error_codes.h"
#include "csv/csv_scan.h"
#include "common/os.h"
#include "dir/principal.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "io/input.h"
#include "script/error.h"
#include "script/location.h"
#include "script/varset.h"

namespace {

// Finished rows are queued, and waiting consumers woken, this many at a
// time (and before the producer may block on a read, and at the end).
const size_t kRowBatch = HyperCSV::kMaxQueued;
// Column numbers beyond this are refused: they would only size vectors.
const int kMaxColumn = 65536;

// One step of a polling loop: tells the core (and a hypervisor) that this
// thread is waiting on memory, not working.
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Polls ready() for up to HyperCSV::kSpinMicros; true as soon as it holds.
template <class Ready>
bool spinUntil(Ready ready) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + std::chrono::microseconds(HyperCSV::kSpinMicros);
    for (unsigned i = 1;; i++) {
        if (ready()) return true;
        cpuRelax();
        // The clock is read now and then: a look at one cache line is far
        // cheaper than a clock read.
        if (i % 64 == 0 && Clock::now() >= until) return ready();
    }
}

// Opens the task log as fopen's "w" does, except that a FIFO nobody reads
// fails at once (ENXIO) instead of blocking the open until a reader comes,
// which may be never.
FILE* openTaskLog(const char* path) {
    int fd = s_open_nowait(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, true);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return file;
}

}  // namespace

HyperCSV::HyperCSV(Input* input, CSVConfig* config, const Principal* principal, const ObjRef* scope)
    : _input(input), _config(config), _principal(principal != nullptr ? new Principal(*principal) : nullptr),
      _scope(scope != nullptr && scope->get() != nullptr ? new ObjRef(*scope)
                                                         : new ObjRef(new VarSet(nullptr, AbstractVarSet::FUNCTION))) {
    setName("csv-reader");
    // The starter reads the results after the run, so it owns the object.
    setDeleteOnExit(false);
}

HyperCSV::~HyperCSV() {
    for (CSVRow* def : _config->rows) def->releaseParser();
    {
        CondSection hold(_queueBlock);
        for (CSVResultRow* row : _queue) delete row;
        _queue.clear();
        for (CSVResultRow* row : _spare) delete row;
        _spare.clear();
    }
    for (CSVResultRow* row : _reusable) delete row;
    delete _row;
    for (CSVResultRow* row : _finished) delete row;
    for (Error* e : _errors) delete e;
    for (Error* e : _warnings) delete e;
    delete _result;
    delete _principal;
    delete _scope;
    if (_ownsInput) delete _input;
    if (_taskLog != nullptr) fclose(_taskLog);
    free(_field);
    free(_window);
}

void HyperCSV::setWindowSize(int bytes) {
    _windowSize = std::max(bytes, kMinWindowSize);
}

Error* HyperCSV::makeError(int type, int code, const char* message, long long line, long long column) const {
    Location** where = new Location*[2]();
    where[0] = new Location(_config->inputPath != nullptr ? _config->inputPath : "<input>", nullptr,
                            CSVPosition::reported(line), CSVPosition::reported(column));
    return new Error(static_cast<Error::Type>(type), code, message, where);
}

void HyperCSV::trace(const char* fmt, ...) {
    if (_taskLog == nullptr) return;
    va_list args;
    va_start(args, fmt);
    vfprintf(_taskLog, fmt, args);
    va_end(args);
}

void HyperCSV::appendError(Error* error) {
    if (error != nullptr) _errors.push_back(error);
}

void HyperCSV::appendWarning(Error* error) {
    if (error != nullptr) _warnings.push_back(error);
}

void HyperCSV::setErrorFromInput() {
    appendError(makeError(Error::EvalError, DirError::E_IO, "I/O Error", _at.line, _at.column));
    char text[256] = "";
    if (_input != nullptr) _input->errorText(text, sizeof text);
    trace("[%lld, %lld]: Error: I/O Error %s\n", _at.line, _at.column, text);
}

void HyperCSV::start() {
    DaemonThread::start();
    const int failure = getStartError();
    if (failure == 0) return;
    // No producer will ever run: end the run here, so that no consumer
    // waits for rows that never come.
    _startTime = monotonicMs() / 1000;
    char message[256];
    snprintf(message, sizeof message, "Unable to start reader thread: %s", strerror(failure));
    appendError(makeError(Error::EvalError, DirError::E_NO_RESOURCE, message, 0, 0));
    finish();
}

void HyperCSV::run() {
    setInitialized();
    _startTime = monotonicMs() / 1000;
    if (_config->taskLogPath != nullptr) {
        _taskLog = openTaskLog(_config->taskLogPath);
        if (_taskLog == nullptr) {
            char message[512];
            snprintf(message, sizeof message, "Unable to open task log: %s\n", strerror(errno));
            appendError(makeError(Error::EvalError, DirError::E_IO, message, 0, 0));
            finish();
            return;
        }
    }
    if (openInput()) {
        prepareDefinitions();
        parseInput();
    }
    finish();
}

bool HyperCSV::openInput() {
    if (_input != nullptr) return true;
    const char* path = _config->inputPath != nullptr ? _config->inputPath : "";
    // Without O_NONBLOCK, opening a FIFO waits until something opens it to
    // write, which may be never, and nothing (not even stop) would end the
    // run. Opened at once, it reads as empty, as any file without a size.
    int fd = s_open_nowait(path, O_RDONLY, 0, true);
    if (fd < 0) {
        int err = errno;
        char message[512];
        snprintf(message, sizeof message, "Unable to open file: %s\n", strerror(err));
        appendError(makeError(Error::EvalError, DirError::E_IO, message, 0, 0));
        trace("Error: unable to open input file: %s\n    (%d) %s\n", path, err, strerror(err));
        return false;
    }
    _input = new Input(fd, _config->encoding);
    _ownsInput = true;
    if (_input->errorCode() != 0) {
        setErrorFromInput();
        return false;
    }
    return true;
}

void HyperCSV::prepareDefinitions() {
    for (CSVRow* def : _config->rows) {
        if (def->inputColumn < 1 || def->inputColumn > kMaxColumn || def->outputColumn < 1 ||
            def->outputColumn > kMaxColumn) {
            char message[128];
            snprintf(message, sizeof message, "Invalid column definition [CSV: %d, DB: %d]", def->inputColumn,
                     def->outputColumn);
            appendError(makeError(Error::EvalError, DirError::E_ILLEGAL_ARGUMENT, message, 0, 0));
            continue;
        }
        // A definition whose expression does not parse stays: each of its
        // fields reports the failure.
        const Error* failed = def->createParser(_config->debugLevel, _scope);
        if (failed != nullptr) appendError(new Error(*failed));
        if (def->expression != nullptr) _wakeEachRow = true;
        if (static_cast<int>(_byColumn.size()) <= def->inputColumn) _byColumn.resize(def->inputColumn + 1);
        _byColumn[def->inputColumn].push_back(def);
        _outputCount = std::max(_outputCount, def->outputColumn);
    }
    // Columns with a single definition that keeps the text as it is take
    // the short way, unless the task log wants every field.
    _traceFields = _taskLog != nullptr && _config->debugLevel < 3;
    _columnAction.assign(_byColumn.size(), kIgnoreColumn);
    for (size_t c = 0; c < _byColumn.size(); c++) {
        if (_byColumn[c].empty()) continue;
        _columnAction[c] = kConvertColumn;
        if (_byColumn[c].size() != 1 || _traceFields) continue;
        const CSVRow* def = _byColumn[c][0];
        if (def->expression == nullptr && def->type != CSV_TYPE_DOUBLE && def->type != CSV_TYPE_DATE &&
            def->type != CSV_TYPE_TIMESTAMP)
            _columnAction[c] = def->outputColumn - 1;
    }
}

void HyperCSV::holdSpan() {
    if (_span == nullptr) return;
    const unsigned char* from = _span;
    size_t n = _fieldLength;
    _span = nullptr;
    _fieldLength = 0;
    copyBytes(from, n);
}

void HyperCSV::copyBytes(const unsigned char* from, size_t n) {
    if (_fieldLength + n + 1 > _fieldCapacity) {
        // Rounded to the step, but at least doubled, so that a huge field
        // costs linear time.
        size_t want = std::max(_fieldLength + n + 1, _fieldCapacity * 2);
        want = (want + kFieldStep - 1) / kFieldStep * kFieldStep;
        _field = static_cast<char*>(realloc(_field, want));
        _fieldCapacity = want;
    }
    memcpy(_field + _fieldLength, from, n);
    _fieldLength += n;
}

const char* HyperCSV::fieldText() {
    holdSpan();
    if (_fieldCapacity == 0) copyBytes(reinterpret_cast<const unsigned char*>(""), 0);
    _field[_fieldLength] = '\0';
    return _field;
}

bool HyperCSV::testRead() {
    if (_eof || _readFailed || _end - _pos >= _lookahead) return _pos < _end;
    // The read may block: rows already finished should not wait for it.
    flushRows();
    // The window's bytes move: a field still pointing into them is copied.
    holdSpan();
    memmove(_window, _window + _pos, static_cast<size_t>(_end - _pos));
    _end -= _pos;
    _pos = 0;
    int n = _input->read(_window + _end, _windowSize - _end);
    if (_config->debugLevel < 2) trace("[%lld, %lld]: Read: %d\n", _at.line, _at.column, n);
    if (n > 0) {
        _end += n;
    } else if (n == -1 || n == 0) {
        _eof = true;
    } else {
        _eof = true;
        _readFailed = true;
        setErrorFromInput();
    }
    return _pos < _end;
}

void HyperCSV::parseInput() {
    _quote = CSVDelimiter::of(_config->quote, '"');
    _sep = CSVDelimiter::of(_config->separator, ',');
    // Enough look-ahead for a doubled quote and a carriage return's newline.
    _lookahead = std::max({4, 2 * _quote.length, _sep.length});
    // Bytes that may start something other than field text, outside and
    // inside quotes.
    const unsigned char plainStops[4] = {_quote.bytes[0], _sep.bytes[0], '\r', '\n'};
    const unsigned char quotedStops[2] = {_quote.bytes[0], '\n'};
    const CSVScanner plain(plainStops, 4);
    const CSVScanner quoted(quotedStops, 2);
    _headersLeft = std::max(0, _config->headerLines);
    _window = static_cast<unsigned char*>(malloc(static_cast<size_t>(_windowSize)));
    const bool traceChars = _taskLog != nullptr && _config->debugLevel < 2;
    // Whether the quote or the separator starts at p, wholly before e. The
    // first byte decides nearly always; most delimiters are that one byte.
    const bool shortQuote = _quote.length == 1, shortSep = _sep.length == 1;
    auto quoteAt = [this, shortQuote](const unsigned char* p, const unsigned char* e) {
        return p < e && *p == _quote.bytes[0] && (shortQuote || (e - p >= _quote.length && _quote.at(p)));
    };
    auto sepAt = [this, shortSep](const unsigned char* p, const unsigned char* e) {
        return p < e && *p == _sep.bytes[0] && (shortSep || (e - p >= _sep.length && _sep.at(p)));
    };

    while (!_eof && _end - _pos < 3) testRead();
    _pos += static_cast<int>(csvBomLength(_window + _pos, static_cast<size_t>(_end - _pos)));
    bool stopped = false;
    while (!stopped) {
        if (_end - _pos < _lookahead && !_eof) testRead();
        if (_pos >= _end) break;
        // The cursor lives in a local while the window is walked; _pos
        // catches up before the window is refilled.
        const unsigned char* p = _window + _pos;
        const unsigned char* const e = _window + _end;
        // Something special may start before limit: there its look-ahead
        // is in the window (or the input has no more).
        const unsigned char* const limit = _eof ? e : e - _lookahead + 1;
        for (;;) {
            if (_stopRequested.load(std::memory_order_relaxed)) {
                stopped = true;
                break;
            }
            // A run of plain field text is taken at once.
            const unsigned char* from = p;
            long long chars = 0;
            p = (_inQuote ? quoted : plain).find(p, e, &chars);
            if (p > from) {
                if (traceChars) {
                    for (const unsigned char* c = from; c < p;) {
                        int len = 1;
                        while (c + len < p && (c[len] & 0xC0) == 0x80) len++;
                        trace("[%lld, %lld]: Char: %.*s\n", _at.line, _at.column, len,
                              reinterpret_cast<const char*>(c));
                        // The rest of a character that a window end split
                        // was counted with its first byte.
                        if ((*c & 0xC0) != 0x80) _at.column++;
                        c += len;
                    }
                } else {
                    _at.column += chars;
                }
                appendBytes(from, static_cast<size_t>(p - from));
                _hasContent = true;
            }
            if (p >= limit) break;
            if (traceChars) {
                if (*p < 0x20) {
                    trace("[%lld, %lld]: Char: 0x%02X\n", _at.line, _at.column, *p);
                } else {
                    trace("[%lld, %lld]: Char: %c\n", _at.line, _at.column, *p);
                }
            }
            if (_inQuote) {
                if (quoteAt(p, e)) {
                    p += _quote.length;
                    _at.column++;
                    if (quoteAt(p, e)) {
                        // A doubled quote stands for one quote character:
                        // the first of the pair, which usually lengthens
                        // the stretch of the window the field already is.
                        appendBytes(p - _quote.length, static_cast<size_t>(_quote.length));
                        p += _quote.length;
                        _at.column++;
                    } else {
                        _inQuote = false;
                    }
                } else if (*p == '\n') {
                    appendBytes(p, 1);
                    p++;
                    _at.nextLine();
                } else {
                    appendBytes(p, 1);
                    p++;
                    _at.column++;
                }
                continue;
            }
            if (quoteAt(p, e)) {
                _quoteAt = _at;
                p += _quote.length;
                _at.column++;
                _inQuote = true;
                _hasContent = true;
            } else if (sepAt(p, e)) {
                // The field's position is that of the separator ending it.
                _hasContent = true;
                endField(false);
                p += _sep.length;
                _at.column++;
            } else if (*p == '\n' || *p == '\r') {
                // A carriage return ends the line by itself; a newline right
                // after it belongs to the same line end.
                endField(true);
                if (*p == '\r' && p + 1 < e && p[1] == '\n') p++;
                p++;
                _at.nextLine();
            } else {
                appendBytes(p, 1);
                p++;
                _at.column++;
                _hasContent = true;
            }
        }
        _pos = static_cast<int>(p - _window);
    }

    if (_readFailed || _stopRequested.load(std::memory_order_relaxed)) {
        delete _row;
        _row = nullptr;
        return;
    }
    if (_inQuote) {
        appendError(makeError(Error::SyntaxError, DirError::E_IO, "EOF encountered in unmatched quote", _quoteAt.line,
                              _quoteAt.column));
        trace("[%lld, %lld]: Error: EOF encountered inside quote starting at [%lld, %lld]\n", _at.line, _at.column,
              _quoteAt.line, _quoteAt.column);
        delete _row;
        _row = nullptr;
        return;
    }
    if (_hasContent) endField(true);
}

void HyperCSV::endField(bool lineEnd) {
    if (lineEnd && _fieldIndex == 0 && _fieldLength == 0) {
        trace("[%lld, %lld]: Empty line encountered\n", _at.line, _at.column);
        _hasContent = false;
        return;
    }
    _fieldIndex++;
    const int action = static_cast<size_t>(_fieldIndex) < _columnAction.size()
                           ? _columnAction[static_cast<size_t>(_fieldIndex)]
                           : kIgnoreColumn;
    if (_headersLeft > 0) {
        if (_traceFields)
            trace("[%lld, %lld]: Header: column: %lld, value = %s\n", _at.line, _at.column, _fieldIndex, fieldText());
    } else if (action >= 0) {
        // A text kept as it is: straight from where the field's bytes are
        // into the row's own value, without trailing white space.
        if (_row == nullptr) _row = takeRow();
        _slotLine[static_cast<size_t>(action)] = _lineSerial;
        const char* data = _span != nullptr ? reinterpret_cast<const char*>(_span) : _field;
        size_t length = _fieldLength;
        while (length > 0 && csvIsBlank(static_cast<unsigned char>(data[length - 1]))) length--;
        _row->setText(action, length > 0 ? data : "", length);
    } else if (action == kConvertColumn) {
        if (_row == nullptr) _row = takeRow();
        for (CSVRow* def : _byColumn[static_cast<size_t>(_fieldIndex)]) convertField(_row, def);
    } else if (_traceFields) {
        trace("[%lld, %lld]: Ignored column: %lld, value = %s\n", _at.line, _at.column, _fieldIndex, fieldText());
    }
    _fieldLength = 0;
    _span = nullptr;
    if (lineEnd) endLine();
}

void HyperCSV::endLine() {
    if (_reference < 0) {
        _reference = _fieldIndex;
    } else if (_fieldIndex != _reference) {
        appendWarning(makeError(Error::EvalError, DirError::E_IO, "Number of columns differ from prior line", _at.line,
                                _at.column));
        trace("[%lld, %lld]: Warning: Number of columns differ from prior line\n", _at.line, _at.column);
        _reference = _fieldIndex;
    }
    if (_headersLeft > 0) {
        _headersLeft--;
    } else {
        if (_row != nullptr) {
            // A reused row may hold values of an earlier line in slots
            // this line did not fill.
            for (int i = 0; i < _outputCount; i++)
                if (_slotLine[static_cast<size_t>(i)] != _lineSerial) _row->set(i, nullptr);
            queueRow(_row);
        }
        _row = nullptr;
        _totalRows++;
    }
    _fieldIndex = 0;
    _hasContent = false;
    _lineSerial++;
}

CSVResultRow* HyperCSV::takeRow() {
    if (_slotLine.size() != static_cast<size_t>(_outputCount)) _slotLine.assign(static_cast<size_t>(_outputCount), -1);
    while (!_reusable.empty()) {
        CSVResultRow* row = _reusable.back();
        _reusable.pop_back();
        // A row whose slots the consumer changed in number is not reused.
        if (row->count() == _outputCount) {
            row->clearErrors();
            return row;
        }
        delete row;
    }
    return new CSVResultRow(_outputCount);
}

void HyperCSV::queueRow(CSVResultRow* row) {
    _finished.push_back(row);
    if (_wakeEachRow || _finished.size() >= kRowBatch) flushRows();
}

void HyperCSV::flushRows() {
    if (_finished.empty()) return;
    _queueBlock.lock();
    for (CSVResultRow* row : _finished) {
        // Bounded: above the bound the producer first polls, without the
        // block, until the consumers have taken the queue back to half the
        // bound; then it sleeps, and the consumers wake it at half the bound.
        // It looks again at least once a second.
        if (_queue.size() > kMaxQueued && !_stopRequested.load(std::memory_order_relaxed)) {
            _queueBlock.unlock();
            spinUntil([this] {
                return _queuedHint.load(std::memory_order_relaxed) <= kMaxQueued / 2 ||
                       _stopRequested.load(std::memory_order_relaxed);
            });
            _queueBlock.lock();
        }
        // No wake-up is lost: _producerWaiting is set and the queue looked
        // at under the block, and wait() releases it atomically, so a
        // consumer's pop either came before the look (seen here) or sees
        // the flag and broadcasts.
        while (_queue.size() > kMaxQueued && !_stopRequested.load(std::memory_order_relaxed)) {
            _producerWaiting = true;
            _queueBlock.wait(1000);
        }
        _producerWaiting = false;
        _queue.push_back(row);
    }
    _queuedHint.store(_queue.size(), std::memory_order_release);
    _finished.clear();
    // The rows given back since the last time serve the next batch.
    _reusable.insert(_reusable.end(), _spare.begin(), _spare.end());
    _spare.clear();
    // Consumers still polling see _queuedHint; only sleeping ones need the
    // wake-up, and a consumer only sleeps after counting itself in
    // _consumersWaiting under the block (see getNext).
    if (_consumersWaiting > 0) _queueBlock.broadcast();
    _queueBlock.unlock();
}

bool HyperCSV::keepSpare(CSVResultRow* row) {
    if (_spare.size() >= kMaxSpare || _done) return false;
    _spare.push_back(row);
    return true;
}

void HyperCSV::recycle(CSVResultRow* row) {
    if (row == nullptr) return;
    {
        CondSection hold(_queueBlock);
        if (keepSpare(row)) return;
    }
    delete row;
}

size_t HyperCSV::queuedRows() {
    CondSection hold(_queueBlock);
    return _queue.size();
}

CSVResultRow* HyperCSV::getNext(CSVResultRow* done) {
    CSVResultRow* row = nullptr;
    _queueBlock.lock();
    if (done != nullptr && keepSpare(done)) done = nullptr;
    _consumersInside++;
    if (_queue.empty() && !_done) {
        // The producer is usually a batch away: poll for it without the
        // block before sleeping, so that it need not wake this thread.
        _queueBlock.unlock();
        spinUntil([this] {
            return _queuedHint.load(std::memory_order_acquire) > 0 || _doneHint.load(std::memory_order_acquire);
        });
        _queueBlock.lock();
    }
    // No wake-up is lost: the queue and the done flag are looked at and
    // _consumersWaiting raised under the block, and wait() releases it
    // atomically; the producer changes both and reads _consumersWaiting
    // under the block, so it either comes first (seen here) or broadcasts.
    while (_queue.empty() && !_done) {
        _consumersWaiting++;
        _queueBlock.wait();
        _consumersWaiting--;
    }
    if (!_queue.empty()) {
        row = _queue.front();
        _queue.pop_front();
        _queuedHint.store(_queue.size(), std::memory_order_relaxed);
        // A waiting producer is woken once the queue is half empty, so
        // that it hands over many rows per wake-up, not one.
        if (_producerWaiting && _queue.size() <= kMaxQueued / 2) _queueBlock.broadcast();
    }
    if (--_consumersInside == 0 && _done) _queueBlock.broadcast();
    _queueBlock.unlock();
    // A row the pool has no room for is freed outside the lock.
    delete done;
    return row;
}

void HyperCSV::finish() {
    flushRows();
    _result = new Attributes();
    // Newest first: added in reverse so that the text form lists them in order.
    _result->setAttribute("elapsedTime", monotonicMs() / 1000 - _startTime);
    _result->setAttribute("errors", static_cast<int>(_errors.size()));
    _result->setAttribute("warnings", static_cast<int>(_warnings.size()));
    _result->setAttribute("totalRows", _totalRows);
    if (_config->debugLevel < 4 && _taskLog != nullptr) {
        char* text = _result->toString(nullptr);
        trace("[%lld, %lld]: Parse Complete: %s\n", _at.line, _at.column, text != nullptr ? text : "");
        free(text);
    }
    if (_taskLog != nullptr) {
        fclose(_taskLog);
        _taskLog = nullptr;
    }
    CondSection hold(_queueBlock);
    _done = true;
    _doneHint.store(true, std::memory_order_release);
    _queueBlock.broadcast();
    while (_consumersInside > 0) _queueBlock.wait(10000);
}
