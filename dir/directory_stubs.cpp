// Placeholders for the operations that the execution and listener code
// define (directory_exec.cpp, directory_listen.cpp); this file goes away when
// those land. Each answers 21 ("Not Implemented") or does nothing.
#include "common/error_codes.h"
#include "dir/directory.h"
#include "dir/directory_spi.h"

// The remote resolve branch needs the execution request's resolve helper;
// until that lands no request passes one.
int Directory::consumeAsyncResolve(ResolveContext*, AsyncResolveHelper*) {
    return 0;
}
int Directory::startAsyncResolve(ResolveContext*, AsyncResolveHelper*) {
    return DirError::E_NOT_CONNECTED;
}
