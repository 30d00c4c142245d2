// drvhost --info: the machine as the runtime's operating-system layer sees
// it (system facts, host name, hardware address, mounted file systems).
#ifndef DRV_HOST_MACHINE_INFO_H
#define DRV_HOST_MACHINE_INFO_H

#include <stdio.h>

#include "common/os.h"

struct MachineFacts {
    char sysname[kOsFieldLength];
    char release[kOsFieldLength];
    char version[kOsFieldLength];
    char machine[kOsFieldLength];
    char distro[kDistroLength];
    long long memory;    // bytes
    long long bootTime;  // seconds since the epoch, 0 when unknown
    int cpus;
    char hostName[256];
    char mac[18];  // empty when no interface qualifies
};

void gatherMachineFacts(MachineFacts* facts);
// The "Machine" section.
void printMachineFacts(FILE* out, const MachineFacts& facts);
// The "File systems" section: a df-like table of the mounts with space,
// sizes in kilobytes, the ones the agent watches marked '*'.
void printFileSystems(FILE* out, const DrvFsEntry* list);
// Both sections for this machine. 0, or 1 when the mount table cannot be read.
int printMachineInfo(FILE* out);

#endif
