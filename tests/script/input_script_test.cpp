// Scripts read through an io Input: the file's character set is converted
// on the way in and the lexer's window slides over the converted bytes.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "io/input.h"
#include "script/input_stream.h"
#include "tests/script/script_run.h"
#include "tests/support/temp_dir.h"

namespace {

// A Latin-1 script longer than the lexer's window, whose one string literal
// holds two-byte characters once converted and straddles the window's end.
TEST(InputScript, ALatin1FileLargerThanTheWindowRunsAsUtf8) {
    std::string source = "var s = '";
    // 'é' is one byte in Latin-1 and two in UTF-8: the converted literal
    // crosses the 8192-byte window although the file's bytes would not.
    std::string latin1Body(6000, '\xe9');
    source += latin1Body + "';\nprint(s);\n";
    source += std::string(4000, ' ') + "\nprint('done');\n";

    TempDir dir;
    std::string path = dir.file("latin1.js");
    writeFile(path, source);

    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Input input(fd, "ISO-8859-1");
    InputLexStream stream(&input);
    std::string out = script_test::run("latin1.js", "", false, &stream);
    std::string utf8Body;
    for (int i = 0; i < 6000; i++) utf8Body += "\xc3\xa9";
    EXPECT_EQ(utf8Body + "\ndone\n", out);
}

}  // namespace
