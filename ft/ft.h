// Ft: a file transfer, a list of transactions run in order against one
// destination over one session. copyTo opens the session (ft/ft_session.h),
// runs every transaction (walking the source, deciding per entry what to
// send, partial updates, verification, removals, the local index), closes,
// and prints a human-readable report with a summary.
//
// Encoded as object 2109: field 1 the transactions (container 2108), 2 keep
// fallbacks, 3 fallback text, 4 fallback count, 5 fallback age.
//
// Ownership: an Ft owns its transactions. The file system it reads through
// is a counted reference (the native one unless setFileSystem was called).
//
// Thread-safety: one thread runs copyTo; cancel() may be called from any
// thread at any time.
#ifndef DRV_FT_FT_H
#define DRV_FT_FT_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <string>

#include "dirbase/translatable.h"
#include "ft/ft_session.h"
#include "ft/ft_transaction.h"

class Asset;
class Endpoint;
class Principal;
class Sfs;
class SfsFile;
class StreamConnection;
struct stat64;

// The thousands-separated text of n ("1,234,567"), as the report prints
// numbers.
std::string ft_withCommas(long long n);

// What a run did, for the summary and for callers.
struct FtStats {
    int transactions = 0;
    long long filesCopied = 0;
    long long filesSkipped = 0;
    long long unableToRemove = 0;
    long long bytesRead = 0;
    long long bytesTransmitted = 0;
    long long filesFailed = 0;
};

class Ft : public Translatable {
public:
    Ft();
    ~Ft() override;
    Ft(const Ft&) = delete;
    Ft& operator=(const Ft&) = delete;
    unsigned int getObjectID() const override { return OBJ_FT_ID; }
    char* toString(Parser* parser) override;

    // Appends a transaction (taken).
    void addTransaction(FtTransaction* t);
    FtTransaction* transactions() { return _transactions; }

    // Checks the transactions (each needs a source and a destination) and
    // that every source can be stat-ed. 0, or -1 with the listener told why.
    int preCopy(FtListener* listener);
    int copyTo(const Principal* principal, const char* host, const char* port, X509* cert, EVP_PKEY* key,
               FtListener* listener, const char* reportPath);
    int copyTo(const Principal* principal, const Asset* asset, const Endpoint* endpoint, X509* cert, EVP_PKEY* key,
               const char* text, FtListener* listener, const char* reportPath);
    // Runs the transactions over an open session (the messages are the
    // caller's): what _copyTo does after connecting. Used by tests to talk
    // to a scripted peer.
    int runSession(FtSession* session, const char* hostName);
    // Walks like a copy without sending; logs and returns the entries that
    // would be sent ("name" per line).
    int preview(std::string* out);

    // Stops the transfer: a file being read is dropped, and every wait for
    // the peer (index, acknowledgements, partial updates) ends within about
    // a second, after which the session closes as cancelled.
    void cancel() { _canceled.store(true); }
    bool isCanceled() const { return _canceled.load(); }
    // The file system used (a new counted reference is taken).
    void setFileSystem(Sfs* sfs);
    // For tests: the sleep before validation, in seconds (10 by default).
    void setValidationDelay(int seconds) { _validationDelay = seconds; }
    // Where local index files go (a directory; "" is the current one).
    void setIndexDirectory(const char* dir) { _indexDir = dir != nullptr ? dir : ""; }

    const FtStats& stats() const { return _stats; }
    const std::string& errorText() const { return _error; }
    // The summary block (without the "-----" line) of the last run.
    const std::string& summary() const { return _summary; }

    // Encoded fields.
    bool keepFallbacks = false;
    char* fallbackText = nullptr;
    int fallbackCount = 2;
    int fallbackAge = 30;

private:
    friend class FtRun;
    int _copyTo(const Principal* principal, const char* host, const char* port, const Asset* asset,
                const Endpoint* endpoint, X509* cert, EVP_PKEY* key, const char* text, FtListener* listener,
                const char* reportPath);

    FtTransaction* _transactions;
    std::atomic<bool> _canceled;
    bool _preCopied;
    bool _preCopyFailed;
    Sfs* _sfs;
    int _validationDelay;
    std::string _indexDir;
    std::string _keepText;
    FtStats _stats;
    std::string _error;
    std::string _summary;
};

#endif
