// The module's shared object is its static libraries linked whole; this
// translation unit only gives the target a source of its own.
#include "module/net_module.h"
