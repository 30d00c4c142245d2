#include "dir/masq_input_reader.h"

#include <stdio.h>
#include <string.h>

#include <set>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "io/input.h"

CondBlock MasqInputReader::_sessions(kProcessLifetime);

namespace {

// Every reader alive, for the end of their sessions. Never freed: a reader
// may still go while the process exits.
std::set<MasqInputReader*>& _readerList = *new std::set<MasqInputReader*>();

// The Input's side of a reader: it owns nothing but its place between the
// two. The Input owns it (cancels it when closed, deletes it when
// destroyed); the reader calls it until finished(), and the destructor
// waits for that call so that the reader never reaches a freed sink.
class MasqFeed final : public InputProducer, public MasqInputReader::Sink {
public:
    MasqFeed(Input* input, DirectorySPI* provider) : _input(input), _provider(provider) {}
    ~MasqFeed() override {
        cancel();
        CondSection hold(_lock);
        while (!_done) _lock.wait();
    }
    void start(MasqInputReader* reader) {
        {
            CondSection hold(_lock);
            _reader = reader;
        }
        if (reader->start() == 0) return;
        // No thread (a thread or memory limit): nothing will ever feed the
        // input or call finished(), so the readers hear of it now, and the
        // reader that never ran is ours to delete.
        {
            CondSection hold(_lock);
            _reader = nullptr;
        }
        delete reader;
        finished(DirError::E_NO_RESOURCE, "unable to start the reader thread");
    }
    void cancel() override {
        CondSection hold(_lock);
        _cancelled = true;
        if (!_done && _reader != nullptr) _reader->cancel();
    }
    bool deliver(const unsigned char* bytes, int length, long long offset, long long size) override {
        _end = offset + length;
        _input->appendData(const_cast<unsigned char*>(bytes), size, length);
        return true;
    }
    void finished(int error, const char* text) override {
        bool cancelled;
        {
            CondSection hold(_lock);
            cancelled = _cancelled;
        }
        if (error == 0)
            _input->appendData(nullptr, _end, 0);  // the whole size: the end
        else if (cancelled)
            _input->handleError(DirError::E_IO, "read cancelled");  // readers waiting for more stop now
        else
            _input->handleError(error, text != nullptr && *text != '\0' ? text : DirError::getErrorDescription(error));
        if (_provider != nullptr) _provider->removeLock();
        CondSection hold(_lock);
        _done = true;
        _reader = nullptr;
        _lock.broadcast();
    }

private:
    Input* _input;
    DirectorySPI* _provider;
    long long _end = 0;  // reader thread only
    CondBlock _lock;
    MasqInputReader* _reader GUARDED_BY(_lock) = nullptr;
    bool _cancelled GUARDED_BY(_lock) = false;
    bool _done GUARDED_BY(_lock) = false;
};

}  // namespace

Input* MasqInputReader::openInput(Directory* directory, DirectorySPI* provider, const Principal* principal,
                                  const char* assetId, const char* path) {
    Input* input = new Input(-1, nullptr, nullptr);
    if (provider != nullptr) provider->addLock();
    MasqFeed* feed = new MasqFeed(input, provider);
    input->setMasqInputReader(feed);
    feed->start(new MasqInputReader(directory, principal, assetId, path, feed));
    return input;
}

MasqInputReader::MasqInputReader(Directory* directory, const Principal* principal, const char* assetId,
                                 const char* path, Sink* sink)
    : _principal(principal != nullptr ? new Principal(*principal) : nullptr),
      _assetId(assetId != nullptr ? assetId : ""), _path(path != nullptr ? path : ""), _sink(sink),
      _stopError(0) {
    setName("masq-input-reader");
    // Ends on its own and deletes itself; nobody joins it.
    setDetached();
    CondSection hold(_sessions);
    _directory = directory;
    _inCallOn = nullptr;
    _readerList.insert(this);
}

MasqInputReader::~MasqInputReader() {
    {
        CondSection hold(_sessions);
        _readerList.erase(this);
    }
    delete _principal;
}

void MasqInputReader::stop(int error) {
    CondSection hold(_lock);
    if (_stopError == 0) _stopError = error;
    _lock.broadcast();
}

void MasqInputReader::cancel() { stop(DirError::E_IO); }

int MasqInputReader::stopError() {
    CondSection hold(_lock);
    return _stopError;
}

Directory* MasqInputReader::enterSession() {
    CondSection hold(_sessions);
    _inCallOn = _directory;
    return _directory;
}

void MasqInputReader::leaveSession() {
    CondSection hold(_sessions);
    _inCallOn = nullptr;
    _sessions.broadcast();
}

void MasqInputReader::endSession(Directory* directory, bool wait) {
    CondSection hold(_sessions);
    for (MasqInputReader* r : _readerList) {
        if (r->_directory != directory) continue;
        r->_directory = nullptr;
        r->stop(DirError::E_LOGGED_OUT);
    }
    if (!wait) return;
    for (;;) {
        bool inCall = false;
        for (MasqInputReader* r : _readerList)
            if (r->_inCallOn == directory) inCall = true;
        if (!inCall) return;
        _sessions.wait();
    }
}

void MasqInputReader::run() {
    setInitialized();
    // "//host:id="<asset id>"/filesystem:", built as a name rather than
    // written out and parsed: the id is a value, and its quotes, slashes,
    // angle brackets and length are its own.
    DirName* name = new DirName();
    name->hostRooted = true;
    name->append(new DirNameEntry("host", "id", _assetId.c_str()));
    name->append(new DirNameEntry("filesystem"));
    long long offset = 0;
    int rv = 0;
    std::string why;
    bool done = false;
    while (rv == 0 && !done) {
        if ((rv = stopError()) != 0) break;
        Any path(_path.c_str());
        Any at(static_cast<long long>(offset));
        Any* args[] = {&path, &at, nullptr};
        // The caller's principal for this request only: the session is
        // touched inside the call alone, so that its end can let go of it.
        Directory* session = enterSession();
        if (session == nullptr) {
            leaveSession();
            rv = DirError::E_LOGGED_OUT;
            break;
        }
        if (_principal != nullptr) session->substituteUser(_principal);
        FutureResult* fr = session->execute(name, nullptr, "readBytes", args);
        if (_principal != nullptr) session->revertUser();
        leaveSession();
        bool complete = false;
        while (!(complete = fr->waitComplete(kCancelPollMs)) && stopError() == 0) {
        }
        const FileIo* block = nullptr;
        Translatable* obj = nullptr;
        if (!complete) {
            log(LOG_DEBUG, 0, 0, "masq-input-reader: read of %s on %s cancelled at %lld", _path.c_str(),
                _assetId.c_str(), offset);
            rv = stopError();
        } else if (fr->failed) {
            // A failure without a code still ends the read.
            rv = fr->error != 0 ? fr->error : DirError::E_PROTOCOL;
            if (fr->errorText != nullptr) why = fr->errorText;
        } else if (fr->result != nullptr && fr->result->getObject(&obj) && obj != nullptr &&
                   obj->getObjectID() == OBJ_FILEIO_ID) {
            block = static_cast<const FileIo*>(obj);
        } else {
            rv = DirError::E_PROTOCOL;
        }
        if (block != nullptr) {
            log(LOG_TRACE, 0, 0, "f = %p, size = %lld, len = %d", static_cast<const void*>(block), block->size,
                block->length);
            if (block->error != 0) {
                rv = block->error;
                if (block->text != nullptr) why = block->text;
            } else if (block->offset != offset || block->length < 0) {
                rv = DirError::E_PROTOCOL;  // a block from elsewhere in the file
            } else if (block->size < offset + block->length) {
                // A block that does not fit in the file it claims to be from:
                // handed over, its bytes would be lost behind that size.
                log(LOG_WARNING, 0, 0, "masq-input-reader: %s on %s: block of %d bytes at %lld for a file of %lld bytes",
                    _path.c_str(), _assetId.c_str(), block->length, offset, block->size);
                rv = DirError::E_PROTOCOL;
            } else {
                if (block->length > 0 && !_sink->deliver(block->bytes, block->length, block->offset, block->size))
                    rv = DirError::E_IO;
                offset += block->length;
                // The end: the whole size delivered, or an empty block.
                done = block->length == 0 || offset >= block->size;
            }
        }
        FutureResult::destroy(fr);
    }
    delete name;
    _sink->finished(rv, why.empty() ? nullptr : why.c_str());
}
