// buildJSON: the JSON-like text form of records. The format has one letter
// per member; for each letter the arguments are the member's name and its
// value:
//   s  const char*            the text in double quotes, or null
//   i  int                    "%d"
//   j  const long long*       "%lld" (null when the pointer is null)
//   b  int used as bool       true or false
//   t  int, seconds since 1970   the number and a comment with the local
//                             time: "%d /* %x %X */"
//   o, x  Translatable*       the object's toJSON, or null
//   a  Translatable**         the object's toString; the member is left
//                             out when there is no object or no text
//   l  void* cursor, JsonNextFn   "[" the elements' texts joined by ", " "]"
// Letters outside this set are ignored (and take no arguments). The text is
// "{ " + members as "\"name\" : value" joined by ", " + " }", newly
// allocated.
#ifndef DRV_DIRBASE_BUILD_JSON_H
#define DRV_DIRBASE_BUILD_JSON_H

// Returns the text of the element at *cursor (newly allocated) and moves the
// cursor on, or null when there are no more elements.
typedef char* (*JsonNextFn)(void** cursor);

char* buildJSON(const char* format, ...);

#endif
