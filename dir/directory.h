// Directory: the entry point of all directory operations. For now it holds
// the process start-up step that registers the translator of every
// encodable class.
#ifndef DRV_DIR_DIRECTORY_H
#define DRV_DIR_DIRECTORY_H

class Directory {
public:
    // Registers every translator once; later calls do nothing.
    static void init();

private:
    static bool _initDone;
};

// Registers the translators of dir's own encodable classes (DirectoryObject).
void dir_registerTranslators();

#endif
