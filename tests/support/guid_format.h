// What a GUID made by makeGuid looks like.
#ifndef DRV_TESTS_SUPPORT_GUID_FORMAT_H
#define DRV_TESTS_SUPPORT_GUID_FORMAT_H

#include <string.h>

// 8-4-4-4-12 digits, each 0-9, a-f, or g-v (a digit shifted by the process
// counter that makes consecutive GUIDs differ).
inline bool looksLikeGuid(const char* text) {
    if (text == nullptr || strlen(text) != 36) return false;
    for (int i = 0; i < 36; i++) {
        char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'v'))) {
            return false;
        }
    }
    return true;
}

#endif
