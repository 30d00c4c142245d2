// The credential child ("-testcred"): one request in, one answer out.
#include "creds/creds_child.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "common/properties.h"
#include "creds/creds_lookup.h"
#include "creds/creds_protocol.h"

namespace {

const char* const kTracePath = "/tmp/dravika-testcred.out";
// Exit status of a child that could not read its request.
const int kShortRequestStatus = 11;
// Exit status of a child whose switches do not parse.
const int kBadSwitchesStatus = 12;
// A buffer the system suggests (or 4096) grows on ERANGE up to this size;
// a configured size (at most this much) is used as it is.
const size_t kMaxBuffer = kCredsMaxBufferSize;

const CredsChildHooks* _hooks = nullptr;
FILE* _trace = nullptr;

void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* fmt, ...) {
    if (_trace == nullptr) return;
    va_list args;
    va_start(args, fmt);
    vfprintf(_trace, fmt, args);
    va_end(args);
    fflush(_trace);
}

size_t bufferSize(const CredsChildOptions& options, int suggestion) {
    if (options.bufferSize > 0) return static_cast<size_t>(options.bufferSize);
    long suggested = sysconf(suggestion);
    return suggested > 0 ? static_cast<size_t>(suggested) : 4096;
}

// Whether a failed call may be tried again with a bigger buffer.
bool mayGrow(const CredsChildOptions& options, int rc, std::vector<char>& buffer) {
    if (rc != ERANGE || options.bufferSize > 0 || buffer.size() >= kMaxBuffer) return false;
    buffer.resize(buffer.size() * 2);
    return true;
}

bool lookUpUser(const CredsChildOptions& options, const CredsRequest& request, CredsUser& user) {
    std::vector<char> buffer(bufferSize(options, _SC_GETPW_R_SIZE_MAX));
    struct passwd pw, *result = nullptr;
    int rc;
    do {
        if (request.operation == CREDS_OP_USER_BY_ID)
            rc = getpwuid_r(static_cast<uid_t>(request.id), &pw, buffer.data(), buffer.size(), &result);
        else
            rc = getpwnam_r(request.name.c_str(), &pw, buffer.data(), buffer.size(), &result);
    } while (mayGrow(options, rc, buffer));
    if (rc != 0 || result == nullptr) {
        trace("getpwX failed.\n");
        return false;
    }
    user.uid = pw.pw_uid;
    user.gid = pw.pw_gid;
    user.name = pw.pw_name != nullptr ? pw.pw_name : "";
    user.home = pw.pw_dir != nullptr ? pw.pw_dir : "";
    gid_t groups[kCredsMaxGroups];
    int count = static_cast<int>(kCredsMaxGroups);
    // Too many groups, or none: the count 0 alone.
    if (getgrouplist(user.name.c_str(), user.gid, groups, &count) > 0) user.groups.assign(groups, groups + count);
    return true;
}

int groupById(gid_t gid, struct group* gr, char* buffer, size_t size, struct group** result) {
    if (_hooks != nullptr && _hooks->getgrgidR != nullptr) return _hooks->getgrgidR(gid, gr, buffer, size, result);
    return getgrgid_r(gid, gr, buffer, size, result);
}

int nextGroup(struct group* gr, char* buffer, size_t size, struct group** result) {
    if (_hooks != nullptr && _hooks->getgrentR != nullptr) return _hooks->getgrentR(gr, buffer, size, result);
    return getgrent_r(gr, buffer, size, result);
}

bool lookUpGroup(const CredsChildOptions& options, const CredsRequest& request, CredsGroup& group) {
    std::vector<char> buffer(bufferSize(options, _SC_GETGR_R_SIZE_MAX));
    const gid_t id = static_cast<gid_t>(request.id);
    struct group gr, *result = nullptr;
    int rc;
    do {
        // Nothing left of an earlier try may pass for the group asked for.
        memset(&gr, 0, sizeof(gr));
        gr.gr_gid = ~id;
        result = nullptr;
        if (request.operation == CREDS_OP_GROUP_BY_ID)
            rc = groupById(id, &gr, buffer.data(), buffer.size(), &result);
        else
            rc = getgrnam_r(request.name.c_str(), &gr, buffer.data(), buffer.size(), &result);
    } while (mayGrow(options, rc, buffer));
    const char* start = buffer.data();
    const char* end = start + buffer.size();
    bool found = rc == 0 && result != nullptr;
    // libnss-sss can report a result too large for the buffer although it
    // filled in the group asked for; with the workaround that counts. The C
    // library then hands back no result pointer, so our own struct says
    // whether the group was filled in: the id asked for, and a name inside
    // our buffer.
    if (!found && rc == ERANGE && options.nssWorkaround && request.operation == CREDS_OP_GROUP_BY_ID &&
        gr.gr_gid == id && gr.gr_name != nullptr && gr.gr_name >= start && gr.gr_name < end) {
        trace("getgrX reports ERANGE for a filled-in group; taken.\n");
        found = true;
    }
    if (!found) {
        trace("getgrX failed.\n");
        return false;
    }
    trace("getgrX OK.\n");
    group.gid = gr.gr_gid;
    // Only a name inside our buffer is trusted (the workaround's group may
    // be incomplete).
    const char* name = gr.gr_name;
    if (name != nullptr && name >= start && name < end)
        group.name.assign(name, strnlen(name, static_cast<size_t>(end - name)));
    return true;
}

void enumerateGroups(const CredsChildOptions& options, std::string& out) {
    std::vector<char> buffer(bufferSize(options, _SC_GETGR_R_SIZE_MAX));
    setgrent();
    for (;;) {
        struct group gr, *result = nullptr;
        int rc = nextGroup(&gr, buffer.data(), buffer.size(), &result);
        // ERANGE leaves the entry to be read again with the bigger buffer.
        if (rc == ERANGE && buffer.size() < kMaxBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr) break;
        CredsGroup g;
        g.gid = gr.gr_gid;
        g.name = gr.gr_name;
        if (g.name.size() <= kCredsMaxText) encodeCredsGroupItem(g, out);
    }
    endgrent();
}

void enumerateUsers(const CredsChildOptions& options, std::string& out) {
    std::vector<char> buffer(bufferSize(options, _SC_GETPW_R_SIZE_MAX));
    setpwent();
    for (;;) {
        struct passwd pw, *result = nullptr;
        int rc = getpwent_r(&pw, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < kMaxBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr) break;
        CredsUser u;
        u.uid = pw.pw_uid;
        u.gid = pw.pw_gid;
        u.name = pw.pw_name;
        if (u.name.size() <= kCredsMaxText) encodeCredsUserItem(u, out);
    }
    endpwent();
}

void resolveHost(const CredsRequest& request, std::string& out) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    if (getaddrinfo(request.name.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
        encodeCredsHostAnswer(false, 0, out);
        return;
    }
    struct in_addr address = reinterpret_cast<const struct sockaddr_in*>(list->ai_addr)->sin_addr;
    freeaddrinfo(list);
    char text[INET_ADDRSTRLEN];
    trace("address is: %s\n", inet_ntop(AF_INET, &address, text, sizeof(text)));
    encodeCredsHostAnswer(true, address.s_addr, out);
}

// PAM's questions: a prompt without echo that asks for the password gets it;
// nothing else is answered.
int converse(int count, const struct pam_message** messages, struct pam_response** responses, void* data) {
    if (count <= 0) return PAM_CONV_ERR;
    const char* password = static_cast<const char*>(data);
    auto* replies = static_cast<struct pam_response*>(calloc(static_cast<size_t>(count), sizeof(struct pam_response)));
    if (replies == nullptr) return PAM_BUF_ERR;
    for (int i = 0; i < count; i++) {
        const struct pam_message* m = messages[i];
        const char* text = m->msg != nullptr ? m->msg : "";
        if (m->msg_style == PAM_PROMPT_ECHO_OFF) {
            trace("PAM asks, '%s'\n", text);
            if (strncmp(text, "Passw", 5) == 0) {
                replies[i].resp = strdup(password);
                // The trace file is on /tmp: the password itself stays out of it.
                trace("We reply with: '%s'\n", std::string(strlen(password), '*').c_str());
            }
        } else if (m->msg_style == PAM_ERROR_MSG) {
            trace("PAM replies with an error: %s\n", text);
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

// 0 when PAM accepts the login, else the status to answer.
int checkLogin(const CredsRequest& request) {
    struct pam_conv conversation = {converse, const_cast<char*>(request.password.c_str())};
    pam_handle_t* handle = nullptr;
    int rc = (_hooks != nullptr && _hooks->pamStart != nullptr)
                 ? _hooks->pamStart(request.service.c_str(), request.name.c_str(), &conversation, &handle)
                 : pam_start(request.service.c_str(), request.name.c_str(), &conversation, &handle);
    if (rc != PAM_SUCCESS || handle == nullptr) {
        trace("PAM start failed: '%s'\n", pam_strerror(handle, rc));
        if (handle != nullptr) pam_end(handle, rc);
        return CREDS_STATUS_PAM_START_FAILED;
    }
    pam_set_item(handle, PAM_USER, request.name.c_str());
    // Only modules may set the tokens on most PAM builds; where refused, the
    // conversation hands the password over instead.
    pam_set_item(handle, PAM_AUTHTOK, request.password.c_str());
    pam_set_item(handle, PAM_OLDAUTHTOK, request.password.c_str());
    if (!request.accessOnly) rc = pam_authenticate(handle, 0);
    if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(handle, 0);
    if (rc != PAM_SUCCESS) trace("PAM session failed: '%s'\n", pam_strerror(handle, rc));
    pam_end(handle, rc);
    return rc == PAM_SUCCESS ? CREDS_STATUS_OK : CREDS_STATUS_LOGIN_REFUSED;
}

void serve(const CredsChildOptions& options, const CredsRequest& request, std::string& out) {
    switch (request.operation) {
    case CREDS_OP_LOGIN: {
        int status = checkLogin(request);
        if (status != CREDS_STATUS_OK) {
            encodeCredsStatus(status, out);
            return;
        }
        CredsRequest byName = request;
        byName.operation = CREDS_OP_USER_BY_NAME;
        serve(options, byName, out);
        return;
    }
    case CREDS_OP_USER_BY_ID:
    case CREDS_OP_USER_BY_NAME: {
        CredsUser user;
        if (lookUpUser(options, request, user))
            encodeCredsUserRecord(user, out);
        else
            encodeCredsStatus(CREDS_STATUS_NO_ENTRY, out);
        return;
    }
    case CREDS_OP_GROUP_BY_ID:
    case CREDS_OP_GROUP_BY_NAME: {
        CredsGroup group;
        if (lookUpGroup(options, request, group))
            encodeCredsGroupAnswer(group, out);
        else
            encodeCredsStatus(CREDS_STATUS_NO_ENTRY, out);
        return;
    }
    case CREDS_OP_ALL_GROUPS:
        enumerateGroups(options, out);
        trace("Sending close byte\n");
        encodeCredsEnd(out);
        return;
    case CREDS_OP_ALL_USERS:
        enumerateUsers(options, out);
        trace("Sending close byte\n");
        encodeCredsEnd(out);
        return;
    default:
        resolveHost(request, out);
        return;
    }
}

// The trace file's name is fixed and its folder open to everyone, while the
// child often runs as root: it appends only to a plain file of its own with
// no other name, never through a link someone put there (into a file of
// theirs or a system one), nor into a FIFO that would hold it until killed.
void openTrace() {
    int fd = open(kTracePath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
        close(fd);
        return;
    }
    _trace = fdopen(fd, "a");
    if (_trace == nullptr) close(fd);
}

}  // namespace

bool credsParseChildArguments(int argc, char** argv, CredsChildOptions& options) {
    if (argc < 2 || strcmp(argv[argc - 1], "-testcred") != 0) return false;
    CredsChildOptions parsed;
    for (int i = 1; i < argc - 1; i++) {
        if (strcmp(argv[i], "-nss_workaround") == 0) {
            parsed.nssWorkaround = true;
        } else if (strcmp(argv[i], "-debug_creds") == 0) {
            parsed.debug = true;
        } else if (strcmp(argv[i], "-bufsize") == 0 && i + 1 < argc - 1) {
            char* end = nullptr;
            long size = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || size < 0 || size > static_cast<long>(kMaxBuffer)) return false;
            parsed.bufferSize = static_cast<int>(size);
        } else {
            return false;
        }
    }
    options = parsed;
    return true;
}

int credsServe(const CredsChildOptions& options, int inFd, int outFd) {
    CredsFdSource in(inFd);
    CredsRequest request;
    if (!readCredsRequest(in, request) || !credsIsOperation(request.operation)) return kShortRequestStatus;
    trace("Operation: %d\n", request.operation);
    trace("Name: %s\n", request.name.c_str());
    if (request.operation == CREDS_OP_LOGIN) trace("Service: %s\n", request.service.c_str());
    if (_hooks != nullptr && _hooks->beforeServe != nullptr) _hooks->beforeServe(request.operation, request.name.c_str());
    std::string answer;
    serve(options, request, answer);
    credsWriteAll(outFd, answer.data(), answer.size());
    return 0;
}

void testcred(const CredsChildOptions& options) {
    if (options.debug) openTrace();
    trace("----\nSession started\n");
    // The answer goes to a private copy of standard output, and standard
    // output itself to /dev/null: a name-service or PAM module that prints
    // must not corrupt the answer.
    int answerFd = fcntl(1, F_DUPFD_CLOEXEC, 3);
    int devNull = open("/dev/null", O_WRONLY);
    if (answerFd >= 0 && devNull >= 0) dup2(devNull, 1);
    if (devNull > 2) close(devNull);
    int status = credsServe(options, 0, answerFd >= 0 ? answerFd : 1);
    if (_trace != nullptr) fclose(_trace);
    // Nothing of the program's own start-up needs tearing down.
    _exit(status);
}

void testcred() {
    // The switches come from the process's own argument list, so that a
    // start-up that only knows "-testcred" was given need pass nothing on.
    std::string text;
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    char chunk[1024];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, chunk, sizeof(chunk))) > 0) text.append(chunk, static_cast<size_t>(n));
    if (fd >= 0) close(fd);
    std::vector<char*> argv;
    for (size_t at = 0; at < text.size(); at += strlen(&text[at]) + 1) argv.push_back(&text[at]);
    CredsChildOptions options;
    if (!credsParseChildArguments(static_cast<int>(argv.size()), argv.data(), options)) _exit(kBadSwitchesStatus);
    testcred(options);
}

void credsProgramStart(int argc, char** argv) {
    CredsChildOptions options;
    if (credsParseChildArguments(argc, argv, options)) testcred();
    // Meant as a child but not understood (a parent of another version, a
    // size beyond the limit): it fails as a child, unanswered, rather than
    // starting the whole program in the child's place.
    if (argc >= 2 && strcmp(argv[argc - 1], "-testcred") == 0) _exit(kBadSwitchesStatus);
    if (commandPath[0] != '\0') return;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return;
    self[n] = '\0';
    if (!s_setCredsCommandPath(self))
        log(_debug_creds, LOG_WARNING, 0, 0, "Creds: program path %s is too long for the lookup child", self);
}

void credsSetChildHooks(const CredsChildHooks* hooks) { _hooks = hooks; }
