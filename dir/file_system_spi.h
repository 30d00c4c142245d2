// FileSystemSPI: an agent's "filesystem:" object, through which another agent
// reads files of this machine when no file-transfer connection can reach it
// (an asset reached through its domain server, or one that calls in). It
// serves one folder chosen by whoever runs the agent, read only:
//   resolve        "filesystem:" (no attributes) to the provider's one object
//   execute        "readBytes" (path, offset): the next block of the file as a
//                  FileIo (offset, whole size, at most kBlockSize bytes), or a
//                  FileIo carrying the error when the file cannot be served
//   getAttributes  "root" (the served folder's name as given) and "blockSize"
//   getAcl         owned by the administrators, readable by everyone
//
// Paths name files below the served folder: a leading "/" means the folder
// itself, "." and empty components are dropped, and ".." is refused, as is
// any symbolic link on the way or at the end and anything that is not a
// regular file. Every component is opened below the one before it without
// following links, so a link made while a read runs cannot lead outside.
//
// Thread-safety: immutable after construction; the slots may be called
// from any thread at once.
#ifndef DRV_DIR_FILE_SYSTEM_SPI_H
#define DRV_DIR_FILE_SYSTEM_SPI_H

#include <string>

#include "dir/directory_spi.h"

class FileIo;

class FileSystemSPI : public DirectorySPI {
public:
    static const char* const kClass;  // "filesystem"
    static const int kBlockSize = 64 * 1024;

    // Serves the folder root (which must exist when files are read).
    explicit FileSystemSPI(const char* root);
    ~FileSystemSPI() override;

    int resolve(const Endpoint* target, const Principal* principal, DirectoryObject* current,
                const DirNameEntry* entry, DirectoryObject*& out) override;
    int search(const Endpoint* target, const Principal* principal, SearchHelper* helper, DirectoryObject* current,
               const DirNameEntry* entry, char* filter, DirectoryEnumeration* result) override;
    int execute(const Principal* principal, DirectoryObject* object, const char* operation, Any** args,
                FutureResult* result) override;
    int getAttributes(const Principal* principal, DirectoryObject* object, Attributes*& out) override;
    int getAcl(const Principal* principal, DirectoryObject* object, Acl*& out) override;
    char* toString() const override;

    // The block of path at offset: a data block, or an error block (a
    // shared error code and its text). Never null.
    FileIo* readBlock(const char* path, long long offset) const;

    // Opens path below the folder for reading (see above); the descriptor,
    // or -1 with *error set to a shared code and *why to its reason.
    int openBelowRoot(const char* path, int* error, std::string* why) const;

private:
    bool isMine(const DirectoryObject* object) const;

    std::string _root;
};

#endif
