// Shared by the tests of encoded records: the text of a value, a value
// nested deep, a record's bytes and its trip through its translator.
#ifndef DRV_TESTS_SUPPORT_ENCODING_H
#define DRV_TESTS_SUPPORT_ENCODING_H

#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "dirbase/any.h"
#include "dirbase/message.h"

// A text the caller was given to free, "(null)" for none.
inline std::string text(char* s) {
    std::string out = s != nullptr ? s : "(null)";
    free(s);
    return out;
}

// levels owned arrays, each holding the next, around the number 1.
inline Any nestedArrays(int levels) {
    Any v(1);
    for (int i = 0; i < levels; i++) {
        AnyArray* a = new AnyArray();
        Any* inner = new Any();
        inner->takeFrom(v);
        a->append(inner);
        v.setArray(a);
    }
    return v;
}

// The bytes of obj encoded under id, after the frame header.
inline std::string encodedBody(unsigned int id, const Translatable* obj) {
    Message out(0);
    EXPECT_EQ(0, out.writeObject(id, obj));
    size_t n;
    unsigned char* all = out.copyBytes(&n);
    std::string bytes(reinterpret_cast<char*>(all) + 9, n - 9);
    free(all);
    return bytes;
}

// bytes decoded as an object of id; null when the translator refuses them,
// which must then leave no object behind.
template <class T>
std::unique_ptr<T> decodedBody(unsigned int id, const std::string& bytes) {
    Message m(bytes.data(), bytes.size());
    Translatable* obj = nullptr;
    if (m.readObject(id, &obj) != 0) {
        EXPECT_EQ(nullptr, obj);
        delete obj;
        return nullptr;
    }
    return std::unique_ptr<T>(static_cast<T*>(obj));
}

// obj encoded under id and decoded again; null when decoding fails.
template <class T>
std::unique_ptr<T> roundTrip(unsigned int id, const T* obj) {
    Message out(0);
    EXPECT_EQ(0, out.writeObject(id, obj));
    out.switchToRead();
    Translatable* back = nullptr;
    EXPECT_EQ(0, out.readObject(id, &back));
    return std::unique_ptr<T>(static_cast<T*>(back));
}

#endif
