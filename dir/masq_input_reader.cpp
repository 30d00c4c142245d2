#include "dir/masq_input_reader.h"

#include <stdio.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/principal.h"
#include "dirbase/any.h"
#include "dirbase/dir_name.h"

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
    while (rv == 0 && !cancelled()) {
        Any path(_path.c_str());
        Any at(static_cast<long long>(offset));
        Any* args[] = {&path, &at, nullptr};
        FutureResult* fr = _directory->execute(name, nullptr, "readBytes", args);
        fr->waitComplete();
        const FileIo* block = nullptr;
        Translatable* obj = nullptr;
        if (fr->failed) {
            rv = fr->error;
        } else if (fr->result != nullptr && fr->result->getObject(&obj) && obj != nullptr &&
                   obj->getObjectID() == OBJ_FILEIO_ID) {
            block = static_cast<const FileIo*>(obj);
        } else {
            rv = DirError::E_PROTOCOL;
        }
        bool more = false;
        if (block != nullptr) {
            log(LOG_TRACE, 0, 0, "f = %p, size = %lld, len = %d", static_cast<const void*>(block), block->size,
                block->length);
            if (block->error != 0) {
                rv = block->error;
            } else if (block->offset != offset || block->length < 0) {
                rv = DirError::E_PROTOCOL;  // a block from elsewhere in the file
            } else {
                if (block->length > 0 && !_sink->deliver(block->bytes, block->length, block->offset, block->size))
                    rv = DirError::E_IO;
                offset += block->length;
                // The end: the whole size delivered, or an empty block.
                more = rv == 0 && block->length > 0 && offset < block->size;
            }
        }
        FutureResult::destroy(fr);
        if (!more) break;
    }
    delete name;
    if (_principal != nullptr) _directory->revertUser();
    _sink->finished(rv);
}
