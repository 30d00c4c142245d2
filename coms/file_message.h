// FileMessage: the typed encoding read from, or written to, a file of the
// file system abstraction (dirbase/sfs.h) instead of memory: the local index
// of a file transfer is kept this way. Writes go to the file at once (a short
// write sets the sticky error -10); reads fill 32 KiB buffers from the file
// as the decoder asks for bytes.
//
// Ownership: the file is referenced, not taken; it must stay open while the
// message is used. Thread-safety: as any message, one thread at a time.
#ifndef DRV_COMS_FILE_MESSAGE_H
#define DRV_COMS_FILE_MESSAGE_H

#include "dirbase/message.h"

class SfsFile;

class FileMessage : public MessageBase {
public:
    static constexpr size_t kReadBuffer = 32768;

    // mode: MODE_WRITE or MODE_READ.
    FileMessage(SfsFile* file, int mode);
    ~FileMessage() override;

    int appendBytes(const void* data, size_t n) override;
    size_t readLocBytes(_BufferLocation* loc, void* dest, size_t n) override;

private:
    bool fill();

    SfsFile* _file;
    bool _atEnd = false;
};

#endif
