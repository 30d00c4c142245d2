// Messages over a file of the file system abstraction: what is written
// reads back across buffer boundaries, a short write sticks as -10, and a
// file that ends inside a value is an incomplete value.
#include <gtest/gtest.h>

#include <string>

#include "coms/file_message.h"
#include "dirbase/sfs.h"

namespace {

// A file over a string that hands out reads in small pieces and can be told
// to take only part of a write.
class PieceFile : public SfsFile {
public:
    int read(char* buf, int n) override {
        int k = std::min<int>({n, 1000, static_cast<int>(bytes.size() - pos)});
        bytes.copy(buf, static_cast<size_t>(k), pos);
        pos += static_cast<size_t>(k);
        return k;
    }
    int write(char* buf, int n) override {
        if (room >= 0 && n > room) {
            bytes.append(buf, static_cast<size_t>(room));
            room = 0;
            return -1;
        }
        if (room >= 0) room -= n;
        bytes.append(buf, static_cast<size_t>(n));
        return n;
    }
    int close() override { return 0; }
    int md5sum(int, char*) override { return -1; }
    int seek(long long offset) override {
        pos = static_cast<size_t>(offset);
        return 0;
    }
    int getFd() override { return -1; }

    std::string bytes;
    size_t pos = 0;
    int room = -1;
};

}  // namespace

TEST(FileMessage, WritesAndReadsTheTypedEncodingThroughAFile) {
    PieceFile file;
    std::string block(100000, '\0');
    for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>(i * 13);
    {
        FileMessage out(&file, MessageBase::MODE_WRITE);
        EXPECT_EQ(0, out.writeInt32(99));
        EXPECT_EQ(0, out.writeString("index entry"));
        EXPECT_EQ(0, out.writeBytes(block.data(), static_cast<uint32_t>(block.size())));
        EXPECT_EQ(0, out.writeInt64(-5));
    }
    // The bytes are the plain encoding, with no frame header.
    ASSERT_GE(file.bytes.size(), 5u);
    EXPECT_EQ(std::string("\x02\x00\x00\x00\x63", 5), file.bytes.substr(0, 5));

    FileMessage in(&file, MessageBase::MODE_READ);
    int32_t n = 0;
    char* text = nullptr;
    unsigned char* data = nullptr;
    uint32_t length = 0;
    int64_t last = 0;
    EXPECT_EQ(0, in.readInt32(&n));
    EXPECT_EQ(0, in.readString(&text));
    EXPECT_EQ(0, in.readBytes(&data, &length));
    EXPECT_EQ(0, in.readInt64(&last));
    EXPECT_EQ(99, n);
    EXPECT_STREQ("index entry", text);
    ASSERT_EQ(block.size(), length);
    EXPECT_EQ(block, std::string(reinterpret_cast<char*>(data), length));
    EXPECT_EQ(-5, last);
    EXPECT_EQ(MSG_E_EOF, in.readInt32(&n));
    free(text);
    free(data);

    // A file that ends inside a value.
    PieceFile cut;
    cut.bytes = file.bytes.substr(0, 5 + 5 + 4);
    FileMessage partial(&cut, MessageBase::MODE_READ);
    EXPECT_EQ(0, partial.readInt32(&n));
    EXPECT_EQ(MSG_E_INCOMPLETE, partial.readString(&text));
    EXPECT_EQ(nullptr, text);
}

TEST(FileMessage, AShortWriteSticks) {
    PieceFile file;
    file.room = 7;
    FileMessage out(&file, MessageBase::MODE_WRITE);
    EXPECT_EQ(0, out.writeInt32(1));
    EXPECT_EQ(MSG_E_WRITE_SHORT, out.writeString("too long for the room left"));
    EXPECT_EQ(MSG_E_WRITE_SHORT, out.writeInt32(2));
    EXPECT_EQ(MSG_E_WRITE_SHORT, out.getError());
}
