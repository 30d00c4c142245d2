// Builds encoded byte strings by hand, for tests that check exact bytes or
// feed malformed input; and reproducible random contents for test files.
#ifndef DRV_TESTS_SUPPORT_BYTES_H
#define DRV_TESTS_SUPPORT_BYTES_H

#include <stdint.h>
#include <stdio.h>

#include <initializer_list>
#include <random>
#include <string>

class Bytes {
public:
    Bytes() = default;
    Bytes(std::initializer_list<int> bytes) {
        for (int b : bytes) data.push_back(static_cast<char>(b));
    }
    Bytes& u8(int b) {
        data.push_back(static_cast<char>(b));
        return *this;
    }
    Bytes& be32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) data.push_back(static_cast<char>(v >> s));
        return *this;
    }
    Bytes& be64(uint64_t v) {
        for (int s = 56; s >= 0; s -= 8) data.push_back(static_cast<char>(v >> s));
        return *this;
    }
    Bytes& raw(const std::string& s) {
        data += s;
        return *this;
    }
    // Tagged values.
    Bytes& int32(int32_t v) { return u8(2).be32(static_cast<uint32_t>(v)); }
    Bytes& int64(int64_t v) { return u8(3).be64(static_cast<uint64_t>(v)); }
    Bytes& str(const std::string& s) { return u8(6).be32(static_cast<uint32_t>(s.size())).raw(s); }
    Bytes& field(int n) { return u8(11).u8(n); }
    Bytes& object(uint32_t id) { return u8(9).be32(id); }
    Bytes& end() { return u8(10); }
    Bytes& container(uint32_t id) { return u8(12).be32(id); }
    Bytes& containerEnd() { return u8(13); }

    const char* c_str() const { return data.data(); }
    size_t size() const { return data.size(); }

    // "06 00 00 00 02 61 62"
    static std::string hex(const void* p, size_t n) {
        std::string out;
        const unsigned char* b = static_cast<const unsigned char*>(p);
        char buf[4];
        for (size_t i = 0; i < n; i++) {
            snprintf(buf, sizeof(buf), i == 0 ? "%02X" : " %02X", b[i]);
            out += buf;
        }
        return out;
    }
    std::string hex() const { return hex(data.data(), data.size()); }

    std::string data;
};

// n bytes that the same seed always gives again.
inline std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

#endif
