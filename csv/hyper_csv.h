// HyperCSV: the streaming CSV reader. A producer thread reads a CSV file (or
// an Input) through a small window, maps the configured input columns to
// output columns, runs each column's script expression on the field, converts
// the result to the column's type and queues finished rows for any number of
// consumer threads; it writes a trace to an optional task log and collects
// warnings and errors.
//
// Use:
//   HyperCSV* reader = new HyperCSV(input, &config, principal, &scope);
//   reader->start();
//   CSVResultRow* row = nullptr;
//   while ((row = reader->getNext(row)) != nullptr) { ... }   // each row given back
//   reader->join();
//   ... reader->result(), reader->errors(), reader->warnings() ...
//   delete reader;
//
// Ownership: the caller owns the configuration and a given Input, and both
// must outlive the reader; an Input the reader opens itself (from the
// configuration's inputPath) is its own. The reader owns its copy of the
// principal, its queued and given-back rows, its error and warning lists
// and its result, and it releases the configuration's parsers when
// destroyed. It is not deleted when its thread ends: the starter joins and
// deletes it.
//
// Rows given back (getNext's argument, recycle) are refilled for later lines
// instead of being freed and allocated again, values and text storage
// included: a consumer that keeps up with the reader then costs no
// allocation per field. Deleting rows instead is just as correct.
//
// Thread-safety: getNext, recycle and stop may be called from any thread.
// The queue, the rows given back, the consumer count and the done flag are
// guarded by the queue block. The error and warning lists, the counters
// and the result belong to the producer thread while it runs; read them
// only after join(). The scope's variables (VALUE among them) are changed
// by the producer thread while it runs, so nothing else may use that scope
// until then.
#ifndef DRV_CSV_HYPER_CSV_H
#define DRV_CSV_HYPER_CSV_H

#include <stdio.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "common/daemon_thread.h"
#include "common/sem.h"
#include "csv/csv_config.h"
#include "csv/csv_parse.h"
#include "csv/csv_position.h"

class Attributes;
class Error;
class Input;
class ObjRef;
class Principal;

class HyperCSV : public DaemonThread {
public:
    // The read window a reader starts with; setWindowSize trades memory for
    // fewer reads (and Input locks) per megabyte.
    static constexpr int kWindowSize = 4096;
    // What a reader of large files (drvcsv) asks for instead.
    static constexpr int kLargeWindowSize = 65536;
    static constexpr int kMinWindowSize = 64;
    static constexpr int kFieldStep = 1024;
    // The producer waits while more rows than this are queued.
    static constexpr size_t kMaxQueued = 100;
    // Rows given back and kept for reuse, at most; any more are freed.
    static constexpr size_t kMaxSpare = 256;
    // How long a consumer that finds the queue empty (or the producer that
    // finds it full) polls for a change before it sleeps on the condition.
    // Waking a sleeping thread on another core costs the waker microseconds
    // of kernel time; a short poll makes most hand-overs need no wake-up.
    static constexpr int kSpinMicros = 50;

    // input may be null (the configuration's inputPath is opened, without
    // waiting for a FIFO's writer: a file without a size reads as empty);
    // principal (copied) and scope are what expressions run with. Without a
    // scope the reader makes an empty one of its own.
    HyperCSV(Input* input, CSVConfig* config, const Principal* principal, const ObjRef* scope);
    ~HyperCSV() override;

    // Starts the producer thread. When the thread cannot be created the run
    // ends at once, on the caller's thread, with the error "Unable to start
    // reader thread: ..." (code 39): getNext returns null and join returns,
    // as after a run that could not open its input. (It hides the thread's
    // own start, which knows nothing of the queue: start a reader through
    // a HyperCSV pointer.)
    void start();
    void run() override;

    // The next row (the caller deletes it), waiting while the queue is empty
    // and the producer still works; null once the producer has finished and
    // the queue is empty.
    CSVResultRow* getNext() EXCLUDES(_queueBlock) { return getNext(nullptr); }
    // The same, first giving back done (may be null), a row this reader
    // returned and the caller has finished with, in the same lock.
    CSVResultRow* getNext(CSVResultRow* done) EXCLUDES(_queueBlock);
    // Gives back a row this reader returned, for reuse (null is ignored).
    // The caller must not touch it afterwards.
    void recycle(CSVResultRow* row) EXCLUDES(_queueBlock);
    // Asks the producer to stop reading; it then finishes as at the end of
    // the input (the row in progress is dropped).
    void stop() { _stopRequested.store(true, std::memory_order_relaxed); }
    // Sets the read window's size (at least kMinWindowSize) before start();
    // small windows let tests put window ends everywhere.
    void setWindowSize(int bytes);
    // Rows waiting in the queue; for tests and diagnostics.
    size_t queuedRows() EXCLUDES(_queueBlock);

    // Producer side, also for callers that extend the reader. Each takes
    // ownership of the error.
    void appendError(Error* error);
    void appendWarning(Error* error);
    // Adds the error "I/O Error" (code 28) at the current position.
    void setErrorFromInput();
    // Refills the window when fewer than the look-ahead bytes remain; false
    // when nothing is left to read (the end, or a read error).
    bool testRead();
    // Converts the current field into row with definition def.
    void convertField(CSVResultRow* row, CSVRow* def);

    // After join(): "totalRows", "warnings", "errors", "elapsedTime"; null
    // when the run never got that far.
    Attributes* result() const { return _result; }
    const std::vector<Error*>& errors() const { return _errors; }
    const std::vector<Error*>& warnings() const { return _warnings; }
    long long totalRows() const { return _totalRows; }

private:
    // line and column as counted; the error's location holds them as
    // CSVPosition::reported gives them.
    Error* makeError(int type, int code, const char* message, long long line, long long column) const;
    void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool openInput();
    void prepareDefinitions();
    void parseInput();
    // Adds bytes to the field being read. Most fields are one stretch of
    // the window: they are only pointed at until something else joins them
    // or the window moves. Inline: it runs for every run of field text.
    void appendBytes(const unsigned char* from, size_t n) {
        if (_span != nullptr ? from == _span + _fieldLength : _fieldLength == 0) {
            if (_span == nullptr) _span = from;
            _fieldLength += n;
            return;
        }
        holdSpan();
        copyBytes(from, n);
    }
    // Copies a field that is still only a stretch of the window into the
    // field buffer.
    void holdSpan();
    void copyBytes(const unsigned char* from, size_t n);
    // A row for the current line: one given back, or a new one.
    CSVResultRow* takeRow();
    // Keeps row for reuse; false when the pool is full (the caller frees it).
    bool keepSpare(CSVResultRow* row) REQUIRES(_queueBlock);
    void endField(bool lineEnd);
    void endLine();
    // Rows go to the queue in small batches: a lock and a wake-up per row
    // would cost more than the row.
    void queueRow(CSVResultRow* row) EXCLUDES(_queueBlock);
    // Moves the finished rows into the queue (waiting while it is full) and
    // wakes waiting consumers.
    void flushRows() EXCLUDES(_queueBlock);
    void finish() EXCLUDES(_queueBlock);
    const char* fieldText();
    // A date column's text ("0", or what the script's Date.parse reads, in
    // the scope's zone) in milliseconds since 1970.
    bool dateFromText(const char* text, long long* ms) const;

    Input* _input;
    bool _ownsInput = false;
    CSVConfig* _config;
    Principal* _principal;
    ObjRef* _scope;
    FILE* _taskLog = nullptr;

    // The read window and the field being read.
    unsigned char* _window = nullptr;
    int _windowSize = kWindowSize;
    int _pos = 0;
    int _end = 0;
    bool _eof = false;
    bool _readFailed = false;
    int _lookahead = 4;
    // The field: _fieldLength bytes at _span (in the window) when that is
    // set, else in _field.
    const unsigned char* _span = nullptr;
    char* _field = nullptr;
    size_t _fieldLength = 0;
    size_t _fieldCapacity = 0;
    CSVDelimiter _quote;
    CSVDelimiter _sep;

    // Position and line state.
    CSVPosition _at;
    // Fields of the current line so far (a line may hold any number).
    long long _fieldIndex = 0;
    bool _inQuote = false;
    bool _hasContent = false;
    // Where the open quote began.
    CSVPosition _quoteAt;
    long long _reference = -1;
    int _headersLeft = 0;
    long long _totalRows = 0;
    long long _startTime = 0;
    // Definitions by input column; the highest output column.
    std::vector<std::vector<CSVRow*>> _byColumn;
    int _outputCount = 0;
    // By input column: the slot a text goes to unchanged, or one of the
    // codes below. Columns past its end are ignored.
    static constexpr int kConvertColumn = -1;
    static constexpr int kIgnoreColumn = -2;
    std::vector<int> _columnAction;
    // Whether the task log wants every field.
    bool _traceFields = false;
    // With expressions rows come slowly: each is handed over at once.
    bool _wakeEachRow = false;
    CSVResultRow* _row = nullptr;
    // Which slots the current line has filled: a slot holds the line's
    // number when it has. A reused row's other slots are emptied at its end.
    std::vector<long long> _slotLine;
    long long _lineSerial = 0;
    // Finished rows not yet in the queue, and rows given back that the
    // producer has taken over (both the producer's own).
    std::vector<CSVResultRow*> _finished;
    std::vector<CSVResultRow*> _reusable;

    std::vector<Error*> _errors;
    std::vector<Error*> _warnings;
    Attributes* _result = nullptr;
    std::atomic<bool> _stopRequested{false};

    // What the consumers and the producer share lives apart from the
    // producer's own fields above, on lines of its own, so that a consumer
    // polling or locking does not keep taking the producer's cache lines.
    alignas(64) CondBlock _queueBlock;
    std::deque<CSVResultRow*> _queue GUARDED_BY(_queueBlock);
    std::vector<CSVResultRow*> _spare GUARDED_BY(_queueBlock);
    // Consumers inside getNext, and those of them waiting for a row.
    int _consumersInside GUARDED_BY(_queueBlock) = 0;
    int _consumersWaiting GUARDED_BY(_queueBlock) = 0;
    bool _producerWaiting GUARDED_BY(_queueBlock) = false;
    bool _done GUARDED_BY(_queueBlock) = false;
    // Copies of _queue.size() and _done, stored under the block whenever
    // those change, read without it while polling. A poll only decides when
    // to take the block and look again: every decision to sleep is made
    // under the block, on the guarded fields.
    alignas(64) std::atomic<size_t> _queuedHint{0};
    std::atomic<bool> _doneHint{false};
};

#endif
