#include "dir/directory.h"

#include "dir/directory_spi.h"
#include "dir/principal.h"
#include "dirbase/message.h"
#include "dirbase/translators.h"
#include "records/records.h"

bool Directory::_initDone = false;

void dir_registerTranslators() {
    MessageBase::registerObjectXlator(OBJ_DIRECTORYOBJECT_ID, DirectoryObjectXlator);
    Principal::registerXlators();
}

void Directory::init() {
    if (_initDone) return;
    _initDone = true;
    // Every library's translators, lowest layer first, so that a higher one
    // could take an id over (the newest registration wins).
    dirbase_registerTranslators();
    records_registerTranslators();
    dir_registerTranslators();
}
