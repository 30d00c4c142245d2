// The runtime's start-up call, made by the host once before it uses the
// runtime (and exported from the module for that purpose).
#ifndef DRV_COMMON_DRAVIKA_INIT_H
#define DRV_COMMON_DRAVIKA_INIT_H

// Ignores SIGPIPE (a peer that goes away must surface as a write error, not
// end the process), initialises the TLS library, and registers the named
// counters when the host has attached a performance data block.
void dravika_init();

#endif
