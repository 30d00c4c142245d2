// Registration of dirbase's translators: the values (Any, AnyArray) and the
// directory records. Each library that has encodable classes offers one
// such function, and Directory::init calls them all, lowest layer first.
#ifndef DRV_DIRBASE_TRANSLATORS_H
#define DRV_DIRBASE_TRANSLATORS_H

// Registers the translator of every encodable class of dirbase.
void dirbase_registerTranslators();

#endif
