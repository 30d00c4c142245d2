// The parent's half of a credential lookup: a short-lived child process that
// re-executes this program with "-testcred" (see creds/creds_child.h), the
// retries around it, and the safety thread that kills children that hang.
//
// Name-service and PAM libraries can hang or misbehave inside a large
// multithreaded process, so none of their calls is made here: the child is a
// fresh process image that makes them and answers over two pipes.
//
// Thread-safety: every function may be called from any thread. A lookup
// holds no lock while its child runs; the lock table (creds/creds_cache.h)
// keeps a second lookup of the same key waiting meanwhile.
#ifndef DRV_CREDS_CREDS_LOOKUP_H
#define DRV_CREDS_CREDS_LOOKUP_H

#include <vector>

#include "creds/creds_cache.h"
#include "creds/creds_protocol.h"

// The program the child runs: one that answers "-testcred" (its main calls
// credsProgramStart first). Filled at start-up; empty makes every lookup fail.
const int kCredsCommandPathLength = 132;
extern char commandPath[kCredsCommandPathLength];
// Copies path into commandPath; false (nothing changed) when it does not fit.
bool s_setCredsCommandPath(const char* path);

// Runs one child for the request and decodes its answer. 0 on success; -1
// when the child could not be started, died, hung (and was killed), or sent
// an answer that does not decode. slot is the lookup's lock-table slot (-1
// for none), where the child is recorded for the safety thread.
int credsRunChild(int slot, const CredsRequest& request, CredsAnswer& answer);

// A new cache entry for a child's answer to the request (not yet in the
// cache). A failed answer keeps the key it was asked for, so that the
// failure is found (and cached) under that key.
CredsCacheEntry* credsEntryFor(const CredsRequest& request, const CredsAnswer& answer);

// One child for a single-answer operation (not a login or an enumeration)
// and the cache entry built from its answer, added to
// the cache and handed out with a use count of 1; null when the child failed.
// Failure statuses are cached too: status 1 as no such entry, any other as
// an error.
CredsCacheEntry* safeLookup(int slot, const CredsRequest& request);
// safeLookup, tried up to three times (logins once).
CredsCacheEntry* lookup(int slot, const CredsRequest& request);

// The lock table's lockOrWait, starting the safety thread on first use.
// Free the slot with _credsLocks.unlock.
int credsLockOrWait(const char* name, long id, int operation);

// The whole path of a single-answer lookup (users, groups, hosts): waits for
// the key's slot, looks in the cache, runs a child on a miss, frees the slot.
// The entry comes with its use count raised (give it back with
// _credsCache.release), or null when no child answered.
CredsCacheEntry* credsFetch(int operation, const char* name, long id);

// The all-groups or all-users answer, from a child every time (the groups are
// also cached one by one). False when no child answered.
bool credsFetchAll(int operation, CredsAnswer& answer);

// Ages every cached entry so that each is reloaded on its next use.
void timeoutCredsCache();
// Removes every cached entry not in use ("Creds: cache flushed").
void flushCredsCache();
// Stops the safety thread (at shutdown; the next lookup starts it again).
void credCleanup();

// The safety thread's period: a check every 7 s that kills children started
// more than 15 s before. For tests only: a shorter period (ms; 0 restores
// the default) so that a hang is caught without a long wait.
const int kCredsSafetyPeriodMs = 7000;
const int kCredsHangSeconds = 15;
void credsSetSafetyPeriodForTests(int ms);

#endif
