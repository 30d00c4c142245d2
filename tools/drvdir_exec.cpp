#include "tools/drvdir_exec.h"

#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/future_result.h"
#include "dir/listener.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/dir_name.h"
#include "dirbase/json_reader.h"

namespace {

const int kFailExit = 1;
int fail(const char* what, int code) {
    fprintf(stderr, "drvdir: %s: error %d: %s\n", what, code, errorText(ERRORS_SHARED, code, "Unknown"));
    return kFailExit;
}

// Shows progress on standard error as it arrives.
class Progress final : public FutureResultListener {
public:
    void onComplete(FutureResult*) override {}
    void onUpdate(FutureResult*, ExecuteUpdate* u) override {
        fprintf(stderr, "  [%3.0f%%] %s\n", u->amount * 100, u->message != nullptr ? u->message : "");
        fflush(stderr);
    }
};

std::atomic<bool> _interrupted{false};

void onSignal(int) {
    _interrupted = true;
}

// Prints one line per change; the listener lock is held while it runs.
class Printer final : public DirectoryListener {
public:
    void directoryAdd(const DirNameEntry* e, const Attributes* a, const Acl*) override { print("add", e, a); }
    void directoryDelete(const DirNameEntry* e, const Attributes* a) override { print("delete", e, a); }
    void directoryModified(const DirNameEntry* e, const Attributes* a, const Acl*) override { print("modify", e, a); }
    void listenerDisconnected() override { fprintf(stderr, "drvdir: watch: provider disconnected\n"); }
    void listenerConnected() override {
        fprintf(stderr, "drvdir: watching (interrupt to stop)\n");
        fflush(stderr);
    }

    std::atomic<int> printed{0};

private:
    void print(const char* kind, const DirNameEntry* e, const Attributes* a) {
        char* entry = e != nullptr ? const_cast<DirNameEntry*>(e)->toString(nullptr) : nullptr;
        char* attrs = a != nullptr ? const_cast<Attributes*>(a)->toString(nullptr) : nullptr;
        printf("%s %s %s\n", kind, entry != nullptr ? entry : "?", attrs != nullptr ? attrs : "{}");
        fflush(stdout);
        free(entry);
        free(attrs);
        printed++;
    }
};

}  // namespace

Any* parseJsonArg(const char* text, std::string* error) {
    return parseJsonValue(text != nullptr ? text : "", error);
}

int runExec(Directory* dir, const DirName* name, const char* operation, const std::vector<const char*>& args,
            int timeoutSeconds) {
    std::vector<std::unique_ptr<Any>> values;
    std::vector<Any*> argv;
    for (const char* text : args) {
        std::string error;
        Any* v = parseJsonArg(text, &error);
        if (v == nullptr) {
            fprintf(stderr, "drvdir: exec: argument '%s' is not a JSON value: %s\n", text, error.c_str());
            return fail("exec", DirError::E_ILLEGAL_ARGUMENT);
        }
        values.emplace_back(v);
        argv.push_back(v);
    }
    argv.push_back(nullptr);
    FutureResult::defaultTimeout = timeoutSeconds;
    Progress progress;
    FutureResult* fr = dir->execute(name, &progress, operation, argv.data());
    fr->waitComplete();
    int rv = 0;
    if (fr->failed) {
        if (fr->errorText != nullptr) fprintf(stderr, "drvdir: exec: %s\n", fr->errorText);
        rv = fail("exec", fr->error);
    } else {
        char* text = fr->result != nullptr ? fr->result->toString(nullptr) : nullptr;
        printf("%s\n", text != nullptr ? text : "null");
        free(text);
    }
    // The listener lives on this stack: the result must not call it again.
    fr->listener = nullptr;
    FutureResult::destroy(fr);
    return rv;
}

int runWatch(Directory* dir, const DirName* name, int maxChanges) {
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    Printer printer;
    int err = 0;
    if (dir->addListener(name, &printer, &err) != 0) return fail("watch", err);
    while (!_interrupted && (maxChanges <= 0 || printer.printed < maxChanges)) usleep(100 * 1000);
    dir->removeListener(&printer);
    return 0;
}
