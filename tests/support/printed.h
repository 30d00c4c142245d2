// What a function that prints to a FILE* prints, as a string.
#ifndef DRV_TESTS_SUPPORT_PRINTED_H
#define DRV_TESTS_SUPPORT_PRINTED_H

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>

inline std::string printed(const std::function<void(FILE*)>& print) {
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    print(out);
    fclose(out);
    std::string result(text, len);
    free(text);
    return result;
}

#endif
