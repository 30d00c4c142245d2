// The child's half of a credential lookup, and the start-up call through
// which every program that can reach a lookup serves as that child.
//
// A lookup re-executes the program as
//     dravika [-nss_workaround] [-debug_creds] -bufsize N -testcred
// reads one request from standard input, makes the name-service or PAM call,
// writes the answer to standard output and exits. A program's main calls
// credsProgramStart(argc, argv) before anything else: with those arguments it
// serves the request and never returns; with other arguments that end in
// "-testcred" it exits with status 12 unanswered; otherwise it points
// commandPath at the program itself and returns.
//
// Thread-safety: the child is single-threaded. credsSetChildHooks is for a
// test program's main, before credsProgramStart.
#ifndef DRV_CREDS_CREDS_CHILD_H
#define DRV_CREDS_CREDS_CHILD_H

#include <grp.h>
#include <security/pam_appl.h>
#include <stddef.h>

// The switches the parent passes.
struct CredsChildOptions {
    bool nssWorkaround = false;  // "-nss_workaround"
    bool debug = false;          // "-debug_creds": trace to "/tmp/dravika-testcred.out"
    int bufferSize = 0;          // "-bufsize N": 0 lets the system suggest a size, at most 2^20
};

// True when argv is a child's argument list (the switches above, ending with
// "-testcred"), with the switches in options.
bool credsParseChildArguments(int argc, char** argv, CredsChildOptions& options);

// Serves one request from inFd to outFd. Returns the exit status: 0 when an
// answer was written, 11 when the request could not be read.
int credsServe(const CredsChildOptions& options, int inFd, int outFd);

// The child: serves one request on standard input and output, then exits.
[[noreturn]] void testcred(const CredsChildOptions& options);
// The same with the switches read from the process's own arguments (exits
// with status 12 when they do not parse).
[[noreturn]] void testcred();

// The first call of a program that can reach a lookup; see above.
void credsProgramStart(int argc, char** argv);

// Test seams of the child, set only by test programs. A production program
// never sets them, so nothing a user configures can make a child hang.
struct CredsChildHooks {
    // Called with the request before it is served (a test may stall or end
    // the child here, or count it).
    void (*beforeServe)(int operation, const char* name);
    // Replaces pam_start (a test points PAM at a private configuration folder
    // with pam_start_confdir).
    int (*pamStart)(const char* service, const char* user, const struct pam_conv* conversation, pam_handle_t** handle);
    // Replaces getgrgid_r (a test stands in for a name-service module that
    // misreports a group it found).
    int (*getgrgidR)(gid_t gid, struct group* group, char* buffer, size_t size, struct group** result);
    // Replaces getgrent_r (a test stands in for a directory with many groups).
    int (*getgrentR)(struct group* group, char* buffer, size_t size, struct group** result);
};
void credsSetChildHooks(const CredsChildHooks* hooks);

#endif
