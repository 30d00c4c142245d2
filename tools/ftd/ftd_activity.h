// A session's sign of life for the service's idle watch (ftd_server.h).
// Bytes moving on its connection show that the peer is still there; long
// work of the session's own (walking a large tree, digesting or copying a
// large file, removing a folder of many entries) moves its thread's count
// here, so that a busy session is not taken for one whose peer fell silent.
//
// Thread-safety: a count belongs to one session thread, which sets it for
// itself; the watch reads it from its own thread. ftdNoteProgress() does
// nothing on a thread without one (tests, tools).
#ifndef DRV_TOOLS_FTD_FTD_ACTIVITY_H
#define DRV_TOOLS_FTD_FTD_ACTIVITY_H

#include <atomic>

// The calling thread's count from now on (null: none).
void ftdSetThreadActivity(std::atomic<long long>* count);
// One more step of the calling thread's work.
void ftdNoteProgress();

#endif
