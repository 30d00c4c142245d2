// drvft's single-file sub-commands:
//   drvft get HOST[:PORT]:PATH LOCAL   fetch one file from a drvftd
//   drvft put LOCAL HOST[:PORT]:PATH   store one file on a drvftd
// argv[0] is "get" or "put". Each returns the process exit status: 0 when the
// file arrived whole, 1 when it did not (the reason is printed), 64 for a
// usage error. The caller has set the runtime up (dravika_init, the log).
#ifndef DRV_TOOLS_DRVFT_GETPUT_H
#define DRV_TOOLS_DRVFT_GETPUT_H

#include <string>

int drvft_get(int argc, char** argv);
int drvft_put(int argc, char** argv);

// Splits "HOST[:PORT]:PATH" (PORT all digits; default 14001). False when
// there is no host or no path.
bool drvft_splitRemote(const std::string& text, std::string* host, std::string* port, std::string* path);

#endif
