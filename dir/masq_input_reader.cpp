#include "dir/masq_input_reader.h"

#include <stdio.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"
#include "io/input.h"

namespace {

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
    : _directory(directory), _principal(principal != nullptr ? new Principal(*principal) : nullptr),
      _assetId(assetId != nullptr ? assetId : ""), _path(path != nullptr ? path : ""), _sink(sink),
      _cancelled(false) {
    setName("masq-input-reader");
    // Ends on its own and deletes itself; nobody joins it.
    setDetached();
}

MasqInputReader::~MasqInputReader() {
    delete _principal;
}

void MasqInputReader::cancel() {
    CondSection hold(_lock);
    _cancelled = true;
    _lock.broadcast();
}

bool MasqInputReader::cancelled() {
    CondSection hold(_lock);
    return _cancelled;
}

void MasqInputReader::run() {
    setInitialized();
    if (_principal != nullptr) _directory->substituteUser(_principal);
    std::string text = "//host:id=\"" + _assetId + "\"/filesystem:";
    int err = 0;
    DirName* name = DirName::createFromString(text.c_str(), &err);
    long long offset = 0;
    int rv = name == nullptr ? DirError::E_ILLEGAL_ARGUMENT : 0;
    std::string why;
    bool done = false;
    while (rv == 0 && !done) {
        if (cancelled()) {
            rv = DirError::E_IO;
            break;
        }
        Any path(_path.c_str());
        Any at(static_cast<long long>(offset));
        Any* args[] = {&path, &at, nullptr};
        FutureResult* fr = _directory->execute(name, nullptr, "readBytes", args);
        bool complete = false;
        while (!(complete = fr->waitComplete(kCancelPollMs)) && !cancelled()) {
        }
        const FileIo* block = nullptr;
        Translatable* obj = nullptr;
        if (!complete) {
            log(LOG_DEBUG, 0, 0, "masq-input-reader: read of %s on %s cancelled at %lld", _path.c_str(),
                _assetId.c_str(), offset);
            rv = DirError::E_IO;
        } else if (fr->failed) {
            rv = fr->error;
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
    if (_principal != nullptr) _directory->revertUser();
    _sink->finished(rv, why.empty() ? nullptr : why.c_str());
}
