// TaskData: one process that the agent starts for a workflow - what to run,
// as whom, how to log it, how long to wait and how it ended. UptimeData: a
// short system uptime sample. Both are plain records that travel in the
// object encoding; the host fills them in.
//
// Ownership: every string is the record's (malloc'ed), freed by its
// destructor and duplicated by its copy. Thread-safety: none; a record
// belongs to one thread at a time.
#ifndef DRV_RECORDS_TASK_DATA_H
#define DRV_RECORDS_TASK_DATA_H

#include "dirbase/translatable.h"
#include "records/records.h"

class MessageBase;

class TaskData : public Translatable {
public:
    // How a task ended. 10 names no condition.
    enum ExitCondition {
        EXIT_COND_INITIAL = 0,
        EXIT_COND_RUNNING = 1,
        EXIT_COND_EXITED = 2,
        EXIT_COND_TERM_WITH_SIGNAL = 3,
        EXIT_COND_COREDUMP = 4,
        EXIT_COND_LOGFILE = 5,
        EXIT_COND_USER = 6,
        EXIT_COND_LOGIN = 7,
        EXIT_COND_FORKFAILED = 8,
        EXIT_COND_CANNOTSTART = 9,
        EXIT_COND_NOINTERACTIVEUSER = 11,
        EXIT_COND_WAITING_AUTH = 12,
        EXIT_COND_WIN32 = 13,
        EXIT_COND_ALREADY_RUNNING = 14,
        EXIT_COND_AVAILABLE = 15,
        EXIT_COND_NOTAVAILABLE = 16,
        EXIT_COND_TIMEOUT = 17,
        EXIT_COND_STATUS = 18,
        EXIT_COND_CONFIG = 19,
        EXIT_COND_CANNOTSTARTAFTERFORK = 20,
        EXIT_COND_START_FAILED = 21,
        EXIT_COND_APPMON_DEAD_PID_ACTIVE = 22,
        EXIT_COND_APPMON_DEAD_PID_DEAD = 23,
    };
    static const int kExitConditionCount = 24;
    // The name of each exit condition by value ("" for 10).
    static const char* const statusNames[kExitConditionCount];
    // statusNames[condition], or null outside the table.
    static const char* statusName(int condition);

    static const int kDefaultDaysToKeep = 30;

    TaskData();
    TaskData(const TaskData& other);
    TaskData& operator=(const TaskData&) = delete;
    ~TaskData() override;

    // The JSON text form (every field but the wire-only field 5).
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_TASKDATA_ID; }
    int clone(const Principal* principal, Translatable** result) const override;

    // Fields in the order of their field numbers (1..26).
    char* taskId;
    char* taskName;
    char* command;
    char* user;
    char* extra;  // field 5: carried on the wire only, never rendered
    char* logfile;
    bool waitForProcess;
    bool disableLogFile;
    int pid;
    long long timeStarted;
    long long timeExited;
    int exitCondition;
    int exitStatus;
    int exitSignal;
    char* env;
    char* cannotStartWhy;
    bool canceled;
    int daysToKeep;
    char* workflowName;
    char* tailPath;
    int waitTimeout;
    int minStartTime;
    char* pattern;
    int patternFlags;
    int errorCode;
    char* strerror;
};

class UptimeData : public Translatable {
public:
    UptimeData() : uptime(0), load1(0), load5(0), load15(0) {}
    UptimeData(int uptime, float load1, float load5, float load15)
        : uptime(uptime), load1(load1), load5(load5), load15(load15) {}

    // { "uptime" : %d, "load1" : %g, "load5" : %g, "load15" : %g }
    char* toString(Parser* parser) override;
    unsigned int getObjectID() const override { return OBJ_UPTIMEDATA_ID; }

    int uptime;   // field 1: seconds since boot
    float load1;  // fields 2 to 4: load averages over 1, 5 and 15 minutes
    float load5;
    float load15;
};

int TaskDataXlator(MessageBase* message, Translatable** obj, int direction);
int UptimeDataXlator(MessageBase* message, Translatable** obj, int direction);

#endif
