// The README's shell examples, read from the README itself and run as a user
// would paste them after `make run`, with the programs on PATH the way the
// README says. A comment before each ```sh block says what it is:
//
//   <!-- example -->                 run it; every output line shown must
//                                    appear, in order, as a whole line
//   <!-- example: output varies -->  the same, with every run of digits
//                                    standing for any number
//   <!-- not run: REASON -->         an illustration, or too long or needing
//                                    a listener in the background
//
// In an example, "$ " starts a command; the lines up to the next command are
// its output. A line that starts with "..." stands for lines left out, and a
// line that ends with "..." for the rest of that line. Each command must
// exit with status 0; failures are shown with `; echo "exit $?"`.
#include <ctype.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

enum class Kind { kNone, kExact, kVaries, kNotRun };

struct Command {
    std::string text;
    std::vector<std::string> output;
};

struct Block {
    int line;  // of the opening fence, counted from 1
    Kind kind;
    std::string reason;
    std::vector<std::string> lines;
    std::vector<Command> commands;
};

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::vector<Block> readmeBlocks() {
    std::vector<std::string> lines = splitLines(readFile(README_PATH));
    std::vector<Block> blocks;
    Kind marker = Kind::kNone;
    std::string reason;
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string& l = lines[i];
        if (l.rfind("<!-- example -->", 0) == 0) {
            marker = Kind::kExact;
        } else if (l.rfind("<!-- example: output varies -->", 0) == 0) {
            marker = Kind::kVaries;
        } else if (l.rfind("<!-- not run:", 0) == 0) {
            marker = Kind::kNotRun;
            reason = trim(l.substr(13, l.find("-->") - 13));
        } else if (l.rfind("```", 0) == 0) {
            Block b{static_cast<int>(i + 1), marker, reason, {}, {}};
            bool shell = l == "```sh";
            for (i++; i < lines.size() && lines[i].rfind("```", 0) != 0; i++) b.lines.push_back(lines[i]);
            if (shell) {
                for (const std::string& line : b.lines) {
                    if (line.rfind("$ ", 0) == 0)
                        b.commands.push_back(Command{line.substr(2), {}});
                    else if (!b.commands.empty() && !line.empty())
                        b.commands.back().output.push_back(line);
                }
                blocks.push_back(b);
            }
            marker = Kind::kNone;
        } else if (!trim(l).empty()) {
            marker = Kind::kNone;
        }
    }
    return blocks;
}

// Every run of digits as one '#'.
std::string digitsAsAny(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (isdigit(static_cast<unsigned char>(s[i]))) {
            out += '#';
            while (i + 1 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1]))) i++;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The README's PATH line, with the release tree it names replaced by the
// tree these tests were built in.
std::string pathLine() {
    for (const std::string& line : splitLines(readFile(README_PATH))) {
        if (line.rfind("export PATH=", 0) != 0) continue;
        std::string path = line;
        const std::string release = "$PWD/build/release";
        for (size_t at; (at = path.find(release)) != std::string::npos;) path.replace(at, release.size(), DRV_BUILD_DIR);
        return path;
    }
    return "";
}

bool isProgramExample(const std::string& command) {
    return command.rfind("drvdump", 0) == 0 || command.find("| drvdump") != std::string::npos ||
           (command.rfind("drvhost", 0) == 0 &&
            (command.find("--info") != std::string::npos || command.find("--count") != std::string::npos));
}

TEST(Readme, EveryShellBlockSaysWhetherItRuns) {
    std::vector<Block> blocks = readmeBlocks();
    ASSERT_FALSE(blocks.empty());
    int examples = 0;
    for (const Block& b : blocks) {
        EXPECT_NE(Kind::kNone, b.kind) << "README.md:" << b.line << ": a ```sh block without a marker";
        if (b.kind == Kind::kNotRun) {
            EXPECT_FALSE(b.reason.empty()) << "README.md:" << b.line << ": not run, but why?";
            // drvdump, drvhost --info and drvhost --count examples always run.
            for (const Command& c : b.commands)
                EXPECT_FALSE(isProgramExample(c.text)) << "README.md:" << b.line << ": " << c.text;
        } else if (b.kind != Kind::kNone) {
            EXPECT_FALSE(b.commands.empty()) << "README.md:" << b.line << ": an example without a command";
            examples++;
        }
    }
    EXPECT_GE(examples, 4);
}

TEST(Readme, SaysWhereTheProgramsAre) {
    std::string line = pathLine();
    ASSERT_FALSE(line.empty()) << "README.md has no export PATH= line";
    EXPECT_NE(std::string::npos, line.find(std::string(DRV_BUILD_DIR) + "/tools")) << line;
    EXPECT_NE(std::string::npos, line.find(std::string(DRV_BUILD_DIR) + "/host")) << line;
}

// The programs the README's headings name (`drvconn`, `drvhost --info`...).
std::vector<std::string> programsInHeadings() {
    std::vector<std::string> names;
    for (const std::string& line : splitLines(readFile(README_PATH))) {
        if (line.rfind("#", 0) != 0) continue;
        for (size_t at = line.find("`drv"); at != std::string::npos; at = line.find("`drv", at + 1)) {
            size_t end = line.find_first_of(" `", at + 1);
            std::string name = line.substr(at + 1, end - at - 1);
            bool known = false;
            for (const std::string& n : names) known = known || n == name;
            if (!known) names.push_back(name);
        }
    }
    return names;
}

// The folders of the README's PATH line, in this build.
std::vector<std::string> pathFolders() {
    std::string line = pathLine();
    std::vector<std::string> folders;
    size_t start = line.find('"');
    size_t end = line.rfind('"');
    if (start == std::string::npos || end <= start) return folders;
    std::string list = line.substr(start + 1, end - start - 1);
    for (size_t from = 0; from <= list.size();) {
        size_t colon = list.find(':', from);
        if (colon == std::string::npos) colon = list.size();
        std::string folder = list.substr(from, colon - from);
        if (folder != "$PATH") folders.push_back(folder);
        from = colon + 1;
    }
    return folders;
}

TEST(Readme, EveryProgramItNamesIsOnItsPath) {
    std::vector<std::string> names = programsInHeadings();
    EXPECT_GE(names.size(), 8u);
    std::vector<std::string> folders = pathFolders();
    ASSERT_FALSE(folders.empty());
    for (const std::string& name : names) {
        bool found = false;
        for (const std::string& folder : folders) found = found || access((folder + "/" + name).c_str(), X_OK) == 0;
        EXPECT_TRUE(found) << name << " is not in any folder of the README's PATH line: " << pathLine();
    }
}

TEST(Readme, ExamplesRunAsWritten) {
    std::string path = pathLine();
    ASSERT_FALSE(path.empty());
    // One folder for the whole README, as a user follows it top to bottom.
    TempDir dir;
    for (const Block& b : readmeBlocks()) {
        if (b.kind != Kind::kExact && b.kind != Kind::kVaries) continue;
        for (const Command& c : b.commands) {
            std::string script = "cd '" + dir.path() + "' && " + path + " && { " + c.text + "\n} 2>&1";
            Outcome run = runToEnd("/bin/bash", {"-c", script});
            std::string where = "README.md:" + std::to_string(b.line) + ": $ " + c.text + "\n";
            EXPECT_EQ(0, run.status) << where << run.out << run.err;

            std::vector<std::string> got = splitLines(run.out);
            size_t next = 0;
            for (const std::string& shown : c.output) {
                if (trim(shown).rfind("...", 0) == 0) continue;
                bool prefix = shown.size() > 3 && shown.compare(shown.size() - 3, 3, "...") == 0;
                std::string want = prefix ? shown.substr(0, shown.size() - 3) : shown;
                if (prefix) want = want.substr(0, want.find_last_not_of(' ') + 1);
                if (b.kind == Kind::kVaries) want = digitsAsAny(want);
                size_t i = next;
                for (; i < got.size(); i++) {
                    std::string line = b.kind == Kind::kVaries ? digitsAsAny(got[i]) : got[i];
                    if (prefix ? line.rfind(want, 0) == 0 : line == want) break;
                }
                EXPECT_LT(i, got.size()) << where << "shown, not printed (in this order): " << shown
                                         << "\nprinted:\n" << run.out;
                if (i < got.size()) next = i + 1;
            }
        }
    }
}

}  // namespace
