// rcc, the resource compiler: the control program's script gives the same
// entries as windres gives it (when the mingw windres is installed), and bad
// scripts stop it with "file:line: message".
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kSource = TAVRINEL_SOURCE_DIR;
const char kWindres[] = "x86_64-w64-mingw32-windres";

struct Result {
    int status = -1;
    std::string output;
};

Result Shell(const std::string &command) {
    Result run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        run.output.append(chunk, got);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A .res file's entries as rcc --dump prints them: "type name size hex".
// The file is one 32-byte empty entry, then per resource a header (data
// size, header size, type, name, DWORD-aligned, then fields rcc does not
// make) and the data, DWORD-aligned.
std::vector<std::string> ResEntries(const std::string &res) {
    const auto word = [&](size_t at) -> unsigned {
        return at + 2 <= res.size() ? static_cast<unsigned char>(res[at]) |
                                          static_cast<unsigned char>(res[at + 1]) << 8
                                    : 0;
    };
    const auto id = [&](size_t &at) {
        if (word(at) == 0xFFFF) {
            at += 4;
            return "#" + std::to_string(word(at - 2));
        }
        std::string text;
        for (; at + 2 <= res.size() && word(at) != 0; at += 2)
            text += static_cast<char>(word(at));
        at += 2;
        return text;
    };
    std::vector<std::string> entries;
    for (size_t at = 0; at + 8 <= res.size();) {
        const size_t dataSize = word(at) | word(at + 2) << 16;
        const size_t headerSize = word(at + 4) | word(at + 6) << 16;
        if (headerSize < 8 || dataSize > res.size() || headerSize > res.size() - dataSize ||
            at > res.size() - dataSize - headerSize) {
            ADD_FAILURE() << "bad .res entry at " << at;
            break;
        }
        size_t field = at + 8;
        const std::string type = id(field);
        const std::string name = id(field);
        if (dataSize > 0) {
            std::string hex;
            char digits[3];
            for (size_t i = 0; i < dataSize; ++i) {
                std::snprintf(digits, sizeof digits, "%02x",
                              static_cast<unsigned char>(res[at + headerSize + i]));
                hex += digits;
            }
            entries.push_back(type + " " + name + " " + std::to_string(dataSize) + " " + hex);
        }
        at = (at + headerSize + dataSize + 3) & ~size_t{3};
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Both compilers' entries for a script (rcc reads it as preprocessed).
void ExpectSameAsWindres(const std::string &script, const std::string &preprocessed,
                         size_t entries) {
    const std::string res = testing::TempDir() + "rcc_" + std::to_string(getpid()) + ".res";
    const Result windres =
        Shell(std::string(kWindres) + " -I " + kSource + "/cecompat/include -I " + kSource +
              "/client -i " + script + " -O res -o " + res + " 2>&1");
    ASSERT_EQ(windres.status, 0) << windres.output;
    const Result rcc = Shell(std::string(RCC_PATH) + " --dump " + preprocessed);
    ASSERT_EQ(rcc.status, 0) << rcc.output;
    const std::vector<std::string> ours = Lines(rcc.output);
    const std::vector<std::string> theirs = ResEntries(ReadFile(res));
    std::remove(res.c_str());
    EXPECT_EQ(ours.size(), entries);
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); ++i)
        EXPECT_EQ(ours[i], theirs[i]);
}

TEST(Rcc, GivesTheEntriesWindresGives) {
    if (Shell(std::string("command -v ") + kWindres).status != 0)
        GTEST_SKIP() << kWindres << " is not on PATH: nothing to compare rcc with";
    {
        SCOPED_TRACE("the control program's script");
        // Two string blocks, three dialogs, menu, menu bar, icon group and
        // images, the high-resolution marker.
        ExpectSameAsWindres(kSource + "/client/VorliskClient.rc", CLIENT_SCRIPT, 12);
    }
    {
        SCOPED_TRACE("what the program does not use yet");
        // Numbers only: no preprocessor needed. Names and classes go to
        // capitals; an icon control without a size; NOT takes default bits.
        const std::string script =
            testing::TempDir() + "rcc_more_" + std::to_string(getpid()) + ".rc";
        std::ofstream(script) << R"(7 DIALOG 1, 2, 100, 50
STYLE 0x80 | 0x80000000 | NOT 0x80000
CAPTION "x"
BEGIN
    DEFPUSHBUTTON "OK", 1, 1, 2, 3, 4
    RTEXT "r", -1, 1, 2, 3, 4, NOT 0x20000
    CONTROL "t", 5, "MyClass", 0x10000 | (0x10 + 1), 1, 2, 3, 4, 0x200L
    EDITTEXT 6, 1, 2, 3, 4, NOT 0x800000 | 1
    ICON 101, 8, 1, 2
END
8 DIALOG 0, 0, 10, 10
BEGIN
END
9 MENU
BEGIN
    POPUP "A"
    BEGIN
        MENUITEM "x", 1
        MENUITEM SEPARATOR
        POPUP "B"
        BEGIN
            MENUITEM "y", 2
        END
    END
    MENUITEM "z", 3
END
10 RCDATA { 1, 2L, "ab", -1, 0x12345678L | 1, ~0 }
named "type" { 5 }
STRINGTABLE { 17 "seventeen" 40, "a ""q"" b" }
)";
        ExpectSameAsWindres(script, script, 7);
        std::remove(script.c_str());
    }
}

TEST(Rcc, BadScriptsStopWithTheFileAndLine) {
    char folder[] = "/tmp/rcc_test_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = std::string(folder) + "/";
    // An icon whose one image lies past the end of the file.
    std::ofstream(dir + "rcc_short.ico", std::ios::binary)
        << std::string("\0\0\1\0\1\0\x10\x10\0\0\1\0\x08\0\x00\x10\0\0\x16\0\0\0", 22);
    struct Case {
        const char *legend;
        std::string script;
        std::string where; // file:line
        const char *message;
    } cases[] = {
        {"unknown control", "1 DIALOG 0, 0, 9, 9\nBEGIN\n  SCROLLBAR 5, 1, 1, 1, 1\nEND\n",
         "bad.rc:3", "unknown control statement"},
        {"unknown statement", "\n1 FOO BAR\n", "bad.rc:2", "unknown statement"},
        {"unsupported type", "1 BITMAP \"a.bmp\"\n", "bad.rc:1", "unsupported resource type"},
        {"unterminated string", "STRINGTABLE\nBEGIN\n  1 \"abc\nEND\n", "bad.rc:3",
         "unterminated string"},
        {"missing icon file", "\n\n1 ICON \"absent.ico\"\n", "bad.rc:3", "cannot open icon file"},
        {"truncated icon file", "1 ICON \"rcc_short.ico\"\n", "bad.rc:1", "truncated"},
        {"name the preprocessor left", "1 RCDATA { WS_CHILD }\n", "bad.rc:1", "not a number"},
        {"line marker names the script", "# 40 \"client.rc\"\n\n1 DIALOG 0, 0, 9, 9 MENU 4\n",
         "client.rc:41", "unknown dialog statement"},
        {"string given twice", "STRINGTABLE { 1, \"a\" 1, \"b\" }\n", "bad.rc:1", "twice"},
        {"parentheses past the limit", "1 RCDATA { " + std::string(100000, '(') + "1 }\n",
         "bad.rc:1", "nested too deeply"},
        {"menu without end", "1 MENU BEGIN POPUP \"x\" BEGIN\n", "bad.rc:2", "missing END"},
        {"number too large", "1 RCDATA { 0x100000000 }\n", "bad.rc:1", "32 bits"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        const std::string path = dir + "bad.rc";
        std::ofstream(path, std::ios::binary) << c.script;
        const Result run = Shell(std::string(RCC_PATH) + " --dump " + path + " 2>&1 >/dev/null");
        EXPECT_EQ(run.status, 1);
        const std::string where = c.where.rfind("bad.rc", 0) == 0 ? dir + c.where : c.where;
        EXPECT_EQ(run.output.rfind(where + ": ", 0), 0u) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
    std::remove((dir + "bad.rc").c_str());
    std::remove((dir + "rcc_short.ico").c_str());
    rmdir(folder);
}

} // namespace
