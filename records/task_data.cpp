#include "records/task_data.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dirbase/build_json.h"
#include "dirbase/message.h"
#include "records/record_util.h"

const char* const TaskData::statusNames[TaskData::kExitConditionCount] = {
    "EXIT_COND_INITIAL",
    "EXIT_COND_RUNNING",
    "EXIT_COND_EXITED",
    "EXIT_COND_TERM_WITH_SIGNAL",
    "EXIT_COND_COREDUMP",
    "EXIT_COND_LOGFILE",
    "EXIT_COND_USER",
    "EXIT_COND_LOGIN",
    "EXIT_COND_FORKFAILED",
    "EXIT_COND_CANNOTSTART",
    "",
    "EXIT_COND_NOINTERACTIVEUSER",
    "EXIT_COND_WAITING_AUTH",
    "EXIT_COND_WIN32",
    "EXIT_COND_ALREADY_RUNNING",
    "EXIT_COND_AVAILABLE",
    "EXIT_COND_NOTAVAILABLE",
    "EXIT_COND_TIMEOUT",
    "EXIT_COND_STATUS",
    "EXIT_COND_CONFIG",
    "EXIT_COND_CANNOTSTARTAFTERFORK",
    "EXIT_COND_START_FAILED",
    "EXIT_COND_APPMON_DEAD_PID_ACTIVE",
    "EXIT_COND_APPMON_DEAD_PID_DEAD",
};

namespace {

// The wire layout of a TaskData, one row per field number; the encoder,
// the decoder and the copy all walk this table.
struct TaskField {
    unsigned char number;
    char kind;  // 's' string, 'b' boolean, 'i' int32, 't' int64 time
    char* TaskData::*str;
    bool TaskData::*flag;
    int TaskData::*num;
    long long TaskData::*time;
};

constexpr TaskField S(unsigned char n, char* TaskData::*m) {
    return {n, 's', m, nullptr, nullptr, nullptr};
}
constexpr TaskField B(unsigned char n, bool TaskData::*m) {
    return {n, 'b', nullptr, m, nullptr, nullptr};
}
constexpr TaskField I(unsigned char n, int TaskData::*m) {
    return {n, 'i', nullptr, nullptr, m, nullptr};
}
constexpr TaskField T(unsigned char n, long long TaskData::*m) {
    return {n, 't', nullptr, nullptr, nullptr, m};
}

const TaskField kTaskFields[] = {
    S(1, &TaskData::taskId),          S(2, &TaskData::taskName),        S(3, &TaskData::command),
    S(4, &TaskData::user),            S(5, &TaskData::extra),           S(6, &TaskData::logfile),
    B(7, &TaskData::waitForProcess),  B(8, &TaskData::disableLogFile),  I(9, &TaskData::pid),
    T(10, &TaskData::timeStarted),    T(11, &TaskData::timeExited),     I(12, &TaskData::exitCondition),
    I(13, &TaskData::exitStatus),     I(14, &TaskData::exitSignal),     S(15, &TaskData::env),
    S(16, &TaskData::cannotStartWhy), B(17, &TaskData::canceled),       I(18, &TaskData::daysToKeep),
    S(19, &TaskData::workflowName),   S(20, &TaskData::tailPath),       I(21, &TaskData::waitTimeout),
    I(22, &TaskData::minStartTime),   S(23, &TaskData::pattern),        I(24, &TaskData::patternFlags),
    I(25, &TaskData::errorCode),      S(26, &TaskData::strerror),
};

// Fields up to this number must be present when decoding; later ones were
// added over time and keep their defaults when absent.
const unsigned char kLastRequiredTaskField = 16;

int writeTaskField(MessageBase* m, const TaskData* t, const TaskField& f) {
    switch (f.kind) {
    case 's':
        return m->writeStringField(f.number, t->*f.str);
    case 'b':
        return m->writeBoolField(f.number, t->*f.flag);
    case 'i':
        return m->writeInt32Field(f.number, t->*f.num);
    default:
        return m->writeInt64Field(f.number, t->*f.time);
    }
}

int readTaskField(MessageBase* m, TaskData* t, const TaskField& f) {
    if (f.number > kLastRequiredTaskField && !m->hasField(f.number)) return m->getError();
    switch (f.kind) {
    case 's': {
        char* s = nullptr;
        int rv = m->readStringField(f.number, &s);
        if (rv == 0) {
            free(t->*f.str);
            t->*f.str = s;
        }
        return rv;
    }
    case 'b':
        return m->readBoolField(f.number, &(t->*f.flag));
    case 'i': {
        int32_t v = 0;
        int rv = m->readInt32Field(f.number, &v);
        if (rv == 0) t->*f.num = v;
        return rv;
    }
    default: {
        int64_t v = 0;
        int rv = m->readInt64Field(f.number, &v);
        if (rv == 0) t->*f.time = v;
        return rv;
    }
    }
}

}  // namespace

const char* TaskData::statusName(int condition) {
    return condition >= 0 && condition < kExitConditionCount ? statusNames[condition] : nullptr;
}

TaskData::TaskData()
    : taskId(nullptr), taskName(nullptr), command(nullptr), user(nullptr), extra(nullptr), logfile(nullptr),
      waitForProcess(false), disableLogFile(false), pid(0), timeStarted(0), timeExited(0), exitCondition(0),
      exitStatus(0), exitSignal(0), env(nullptr), cannotStartWhy(nullptr), canceled(false),
      daysToKeep(kDefaultDaysToKeep), workflowName(nullptr), tailPath(nullptr), waitTimeout(0), minStartTime(0),
      pattern(nullptr), patternFlags(0), errorCode(0), strerror(nullptr) {}

TaskData::TaskData(const TaskData& other) : TaskData() {
    for (const TaskField& f : kTaskFields) {
        switch (f.kind) {
        case 's':
            this->*f.str = dupOrNull(other.*f.str);
            break;
        case 'b':
            this->*f.flag = other.*f.flag;
            break;
        case 'i':
            this->*f.num = other.*f.num;
            break;
        default:
            this->*f.time = other.*f.time;
        }
    }
}

TaskData::~TaskData() {
    for (const TaskField& f : kTaskFields)
        if (f.kind == 's') free(this->*f.str);
}

char* TaskData::toString(Parser*) {
    return buildJSON("ssssssbbittiiisbissiisiis", "taskId", taskId, "taskName", taskName, "command", command, "env",
                     env, "user", user, "logfile", logfile, "waitForProcess", waitForProcess ? 1 : 0,
                     "disableLogFile", disableLogFile ? 1 : 0, "pid", pid, "timeStarted",
                     static_cast<int>(timeStarted), "timeExited", static_cast<int>(timeExited), "exitCondition",
                     exitCondition, "exitStatus", exitStatus, "exitSignal", exitSignal, "cannotStartWhy",
                     cannotStartWhy, "canceled", canceled ? 1 : 0, "daysToKeep", daysToKeep, "workflowName",
                     workflowName, "tailPath", tailPath, "waitTimeout", waitTimeout, "minStartTime", minStartTime,
                     "pattern", pattern, "patternFlags", patternFlags, "errorCode", errorCode, "strerror", strerror);
}

int TaskData::clone(const Principal*, Translatable** result) const {
    *result = new TaskData(*this);
    return 0;
}

int TaskDataXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const TaskData* t = static_cast<const TaskData*>(*obj);
        for (const TaskField& f : kTaskFields)
            if (writeTaskField(m, t, f) != 0) return -1;
        return 0;
    }
    *obj = nullptr;
    TaskData* t = new TaskData();
    for (const TaskField& f : kTaskFields) {
        if (readTaskField(m, t, f) != 0) {
            delete t;
            return -1;
        }
    }
    *obj = t;
    return 0;
}

char* UptimeData::toString(Parser*) {
    char text[160];
    snprintf(text, sizeof(text), "{ \"uptime\" : %d, \"load1\" : %g, \"load5\" : %g, \"load15\" : %g }", uptime,
             static_cast<double>(load1), static_cast<double>(load5), static_cast<double>(load15));
    return strdup(text);
}

int UptimeDataXlator(MessageBase* m, Translatable** obj, int direction) {
    if (direction == XLATE_ENCODE) {
        const UptimeData* u = static_cast<const UptimeData*>(*obj);
        m->writeInt32Field(1, u->uptime);
        m->writeFloatField(2, u->load1);
        m->writeFloatField(3, u->load5);
        return m->writeFloatField(4, u->load15) != 0 ? -1 : 0;
    }
    *obj = nullptr;
    int32_t uptime = 0;
    float load[3] = {0, 0, 0};
    if (m->readInt32Field(1, &uptime) != 0 || m->readFloatField(2, &load[0]) != 0 ||
        m->readFloatField(3, &load[1]) != 0 || m->readFloatField(4, &load[2]) != 0)
        return -1;
    *obj = new UptimeData(uptime, load[0], load[1], load[2]);
    return 0;
}
