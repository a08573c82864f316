// registry_file_test.cpp — the registry file: round trips, the exact text,
// hostile files, the atomic save and the boot.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "registry_test_util.h"

namespace {

using namespace regtest;

class RegistryFile : public RegistryTest {
protected:
    TempDir dir_;
};

mode_t ModeOf(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

bool Exists(const std::string &path) {
    return std::filesystem::exists(path);
}

// A registry with every type and the odd strings that must survive a save.
void FillEverything() {
    const BYTE odd[] = {'a', 0, 'b'};
    const BYTE embedded[] = {'a', 0, 0, 0, 'b', 0, 0, 0};
    const BYTE noTerminator[] = {'a', 0, 'b', 0};
    const BYTE doubleTerminator[] = {'a', 0, 0, 0, 0, 0};
    const BYTE multi[] = {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0};
    const BYTE blob[] = {0, 1, 0xfe, 0xff};
    const std::u16string lone = u"x\xD800y";
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel", u"Dll", REG_SZ,
                       Sz(u"\\Windows\\Tavrinel.dll")),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel", u"Frequency", 0xfedcba98),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel", nullptr, REG_SZ, Sz(u"default")),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Escapes", REG_SZ,
                       Sz(u"q\"b\\n\nr\rt\tc\x01\x1f\x7f;[]=@")),
              ERROR_SUCCESS);
    ASSERT_EQ(
        SetValue(HKEY_LOCAL_MACHINE, u"T", u"Unicode", REG_SZ, Sz(u"\u00e9\u65e5\u672c\U0001F4FB")),
        ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Lone", REG_SZ, Sz(lone)), ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Empty", REG_SZ, Sz(u"")), ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Nothing", REG_SZ, {}), ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Odd", REG_SZ, {odd, odd + 3}), ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Embedded", REG_SZ, {embedded, embedded + 8}),
              ERROR_SUCCESS);
    ASSERT_EQ(
        SetValue(HKEY_LOCAL_MACHINE, u"T", u"NoTerm", REG_SZ, {noTerminator, noTerminator + 4}),
        ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"TwoTerm", REG_EXPAND_SZ,
                       {doubleTerminator, doubleTerminator + 6}),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Expand", REG_EXPAND_SZ, Sz(u"%windir%\\x")),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Multi", REG_MULTI_SZ, {multi, multi + 10}),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Blob", REG_BINARY, {blob, blob + 4}),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"NoBytes", REG_BINARY, {}), ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"None", REG_NONE, {blob, blob + 2}),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", u"Custom", 0x12345678, {blob, blob + 3}),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"T", (u"name " + lone + u" \"q\"\\").c_str(), REG_SZ,
                       Sz(u"odd name")),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, u"Cl\u00e9 \u65e5\u672c\\ [x] ;y\\\U0001F4FB",
                       u"\u00c9t\u00e9", REG_SZ, Sz(u"v")),
              ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, nullptr, u"AtRoot", REG_BINARY, {blob, blob + 1}),
              ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Empty\\Leaf", 0, nullptr, 0, 0, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryFile, EverythingSurvivesASaveAndALoad) {
    FillEverything();
    const auto before = Dump();
    const std::string path = dir_.File("round.reg");
    std::string error = "untouched";
    ASSERT_TRUE(platform::SaveRegistryFile(path, error)) << error;
    EXPECT_EQ(error, "untouched");
    platform::ResetRegistry();
    ASSERT_TRUE(platform::LoadRegistryFile(path, error)) << error;
    EXPECT_EQ(Dump(), before);

    // Saving again gives the same text: the format has one spelling.
    const std::string first = ReadFile(path);
    ASSERT_TRUE(platform::SaveRegistryFile(path, error)) << error;
    EXPECT_EQ(ReadFile(path), first);

    // Readable where it can be.
    EXPECT_NE(first.find("\"Dll\"=\"\\\\Windows\\\\Tavrinel.dll\"\n"), std::string::npos);
    EXPECT_NE(first.find("\"Frequency\"=dword:fedcba98\n"), std::string::npos);
    EXPECT_NE(first.find("@=\"default\"\n"), std::string::npos);
    EXPECT_NE(first.find("\"Odd\"=hex(1):61,00,62\n"), std::string::npos);
    EXPECT_NE(first.find("\"Expand\"=str(2):\"%windir%\\\\x\"\n"), std::string::npos);
    EXPECT_NE(first.find("\"Unicode\"=\"\u00e9\u65e5\u672c\U0001F4FB\"\n"), std::string::npos);
    EXPECT_NE(first.find("\"Lone\"=\"x\\ud800y\"\n"), std::string::npos);
}

TEST_F(RegistryFile, ExactTextOfASmallRegistry) {
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", 15), ERROR_SUCCESS);
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel", u"Prefix", REG_SZ, Sz(u"COM")),
              ERROR_SUCCESS);
    const BYTE b[] = {0xAB};
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel", u"Tab\t", REG_BINARY, {b, b + 1}),
              ERROR_SUCCESS);
    const std::string path = dir_.File("small.reg");
    std::string error;
    ASSERT_TRUE(platform::SaveRegistryFile(path, error)) << error;
    EXPECT_EQ(ReadFile(path), "TAVRINEL REGISTRY 1\n"
                              "; The registry of the emulated phone, written by the phone at "
                              "every change.\n"
                              "\n[HKEY_LOCAL_MACHINE\\Drivers]\n"
                              "\n[HKEY_LOCAL_MACHINE\\Drivers\\Tavrinel]\n"
                              "\"Prefix\"=\"COM\"\n"
                              "\"Tab\\t\"=hex:ab\n"
                              "\n[HKEY_CURRENT_USER\\ControlPanel]\n"
                              "\n[HKEY_CURRENT_USER\\ControlPanel\\Volume]\n"
                              "\"Volume\"=dword:0000000f\n");
}

TEST_F(RegistryFile, AcceptsWhatAPersonMightWrite) {
    const std::string path = dir_.File("hand.reg");
    WriteFile(path, "TAVRINEL REGISTRY 1\r\n"
                    "; comment\r\n"
                    "   ; indented comment\n"
                    "\n"
                    "   \t\n"
                    "[HKEY_LOCAL_MACHINE\\A\\B]   \n"
                    "\"x\" = dword:A\n"
                    "\"\"=hex(7):61,00,00,00,00,00\n"
                    "[HKEY_LOCAL_MACHINE\\a]\n"
                    "\"y\"=hex(4):01,00,00,00\n"
                    "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\01]\n"
                    "\"Key\"=\"Drivers\\\\Tavrinel\"\n"
                    "[HKEY_LOCAL_MACHINE\\Drivers\\Other]\n"
                    "[HKEY_LOCAL_MACHINE]\n"
                    "@=\"root\"\n");
    std::string error;
    ASSERT_TRUE(platform::LoadRegistryFile(path, error)) << error;
    // A repeated key merges; "Drivers\Active" lists a finished boot: skipped.
    EXPECT_EQ(Dump(), (std::vector<std::string>{
                          "HKLM", "HKLM||1|72006f006f0074000000", "HKLM\\A", "HKLM\\A|y|4|01000000",
                          "HKLM\\A\\B", "HKLM\\A\\B|x|4|0a000000", "HKLM\\A\\B||7|610000000000",
                          "HKLM\\Drivers", "HKLM\\Drivers\\Other", "HKCU", "HKCR"}));
}

// A line that breaks the file, and what the loader says about it.
struct Fault {
    const char *legend;
    std::string text;
    int line;
    const char *message;
};

TEST_F(RegistryFile, MalformedFilesAreRefusedWithFileLineAndChangeNothing) {
    const std::string header = "TAVRINEL REGISTRY 1\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\Good]\n\"ok\"=dword:1\n"; // lines 2-3
    const Fault faults[] = {
        {"empty file", "", 1, "empty file"},
        {"other format", "REGEDIT4\n", 1, "not a registry file"},
        {"header with trailing space", "TAVRINEL REGISTRY 1 \n", 1, "version '1 '"},
        {"newer version", "TAVRINEL REGISTRY 2\n", 1, "unsupported registry file version '2'"},
        {"header only, cut short", "TAVRINEL REGIS", 1, "file ends inside a line"},
        {"last line cut short", header + key + "\"cut\"=dword:0000", 4, "file ends inside a line"},
        {"unknown root", header + "[HKEY_USERS\\x]\n", 2, "unknown root key 'HKEY_USERS'"},
        {"key without ]", header + "[HKEY_LOCAL_MACHINE\\x\n", 2, "without closing ']'"},
        {"empty key name", header + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 2, "empty key name"},
        {"key name of 256", header + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n", 2,
         "invalid key name"},
        {"value before any key", header + "\"v\"=dword:1\n", 2, "value before any key"},
        {"bad escape", header + key + "\"v\"=\"a\\qb\"\n", 4, "bad escape '\\q'"},
        {"short \\x escape", header + key + "\"v\"=\"\\x4\"\n", 4, "needs 2 hex digits"},
        {"NUL escape", header + key + "\"v\"=\"a\\x00\"\n", 4, "NUL character escape"},
        {"unterminated string", header + key + "\"v\"=\"abc\n", 4, "unterminated string"},
        {"unterminated name", header + key + "\"v=dword:1\n", 4, "unterminated string"},
        {"dword out of range", header + key + "\"v\"=dword:100000000\n", 4, "dword out of range"},
        {"dword not hex", header + key + "\"v\"=dword:xyz\n", 4, "bad dword"},
        {"dword with junk", header + key + "\"v\"=dword:12 34\n", 4, "unexpected text"},
        {"odd hex digit", header + key + "\"v\"=hex:01,2\n", 4, "two hex digits"},
        {"three hex digits", header + key + "\"v\"=hex:012\n", 4, "two hex digits"},
        {"hex ends in comma", header + key + "\"v\"=hex:01,\n", 4, "hex byte expected"},
        {"hex with space", header + key + "\"v\"=hex:01, 02\n", 4, "hex byte expected"},
        {"type out of range", header + key + "\"v\"=hex(100000000):01\n", 4,
         "value type out of range"},
        {"type not closed", header + key + "\"v\"=hex(3:01\n", 4, "'):' expected"},
        {"short REG_DWORD", header + key + "\"v\"=hex(4):01,02\n", 4, "must be 4 bytes"},
        {"data too large",
         header + key + "\"v\"=hex:" +
             [] {
                 std::string s = "00";
                 for (int i = 0; i < 16384; ++i)
                     s += ",00";
                 return s;
             }() +
             "\n",
         4, "larger than 16384 bytes"},
        {"too many keys (512 per line)",
         header +
             [] {
                 std::string s;
                 for (int i = 0; i < 200; ++i) {
                     s += "[HKEY_CURRENT_USER\\k" + std::to_string(i);
                     for (int d = 1; d < 512; ++d)
                         s += "\\k";
                     s += "]\n";
                 }
                 return s;
             }(),
         197, "more than 100000 keys"},
        {"unknown data", header + key + "\"v\"=word:1\n", 4, "unknown value data"},
        {"no =", header + key + "\"v\" dword:1\n", 4, "'=' expected"},
        {"duplicate value", header + key + "\"OK\"=dword:2\n", 4, "defined twice"},
        {"value name of 256", header + key + "\"" + std::string(256, 'n') + "\"=dword:1\n", 4,
         "longer than 255"},
        {"stray text", header + key + "Version=1\n", 4, "unrecognised line"},
        {"line over 64 KiB", header + key + ";" + std::string(65536, 'c') + "\n", 4,
         "line longer than 65536 bytes"},
        {"NUL byte", header + key + std::string("\"v\"=\"a\0b\"\n", 10), 4, "NUL byte"},
        {"raw control character", header + key + "\"v\"=\"a\x01\"\n", 4, "control character"},
        {"invalid UTF-8", header + key + "\"v\"=\"\xff\"\n", 4, "invalid UTF-8"},
        {"overlong UTF-8", header + key + "\"v\"=\"\xc0\xaf\"\n", 4, "invalid UTF-8"},
        {"lone CR inside", header + key + "\"v\"=\"a\rb\"\n", 4, "control character"},
    };
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", 7), ERROR_SUCCESS);
    HKEY open = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"ControlPanel", 0, 0, &open), ERROR_SUCCESS);
    const auto before = Dump();
    const std::string path = dir_.File("bad.reg");
    for (const auto &fault : faults) {
        SCOPED_TRACE(fault.legend);
        WriteFile(path, fault.text);
        std::string error;
        EXPECT_FALSE(platform::LoadRegistryFile(path, error));
        const std::string where = path + ":" + std::to_string(fault.line) + ": ";
        EXPECT_EQ(error.substr(0, where.size()), where) << error;
        EXPECT_NE(error.find(fault.message), std::string::npos) << error;
        EXPECT_EQ(Dump(), before);
        // Handles stay valid: the live registry was not replaced.
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(open, u"x", nullptr, nullptr, nullptr, &size),
                  ERROR_FILE_NOT_FOUND);
    }
    RegCloseKey(open);

    std::string error;
    EXPECT_FALSE(platform::LoadRegistryFile(dir_.File("missing.reg"), error));
    EXPECT_NE(error.find("missing.reg: cannot open"), std::string::npos) << error;
    EXPECT_FALSE(platform::LoadRegistryFile(dir_.Path(), error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_EQ(Dump(), before);

    // The longest line, newline not counted, is still read.
    WriteFile(path, header + key + ";" + std::string(65535, 'c') + "\n");
    EXPECT_TRUE(platform::LoadRegistryFile(path, error)) << error;
}

TEST_F(RegistryFile, SaveIsAtomicAndPrivate) {
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 1), ERROR_SUCCESS);
    const std::string path = dir_.File("registry.reg");
    // A temporary file left by a crash, readable by everyone.
    WriteFile(path + ".tmp", "junk");
    ::chmod((path + ".tmp").c_str(), 0644);
    const mode_t oldMask = ::umask(0);
    std::string error;
    const bool saved = platform::SaveRegistryFile(path, error);
    ::umask(oldMask);
    ASSERT_TRUE(saved) << error;
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_FALSE(Exists(path + ".tmp"));

    // A failed save leaves the old file whole and no temporary file behind.
    const std::string good = ReadFile(path);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 2), ERROR_SUCCESS);
    const std::string blocked = dir_.File("blocked");
    std::filesystem::create_directory(blocked);
    WriteFile(blocked + "/inside", "x"); // a directory in the way of the rename
    EXPECT_FALSE(platform::SaveRegistryFile(blocked, error));
    EXPECT_NE(error.find("cannot replace"), std::string::npos) << error;
    EXPECT_FALSE(Exists(blocked + ".tmp"));
    EXPECT_FALSE(platform::SaveRegistryFile(dir_.File("no/such/dir/registry.reg"), error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(path), good);
}

TEST_F(RegistryFile, FirstBootWritesTheDefaultsAndSavesThem) {
    std::string error;
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    const std::string path = dir_.File("registry.reg");
    ASSERT_TRUE(Exists(path));
    EXPECT_EQ(ModeOf(path), 0600u);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(HKEY_LOCAL_MACHINE,
                         u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer",
                         u"DriverInterface", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Sz(u"GPD0:"));
    ASSERT_TRUE(GetValue(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", type, data));
    EXPECT_EQ(data, (std::vector<BYTE>{15, 0, 0, 0}));
    ASSERT_TRUE(GetValue(HKEY_CURRENT_USER, u"\\ControlPanel\\Notifications\\ShellOverrides",
                         u"SavedVolume", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{15, 0, 0, 0}));
    const auto defaults = Dump();

    // The file holds exactly that.
    platform::ResetRegistry();
    ASSERT_TRUE(platform::LoadRegistryFile(path, error)) << error;
    EXPECT_EQ(Dump(), defaults);

    // Defaults fill gaps and never overwrite.
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", 3), ERROR_SUCCESS);
    platform::WriteRegistryDefaults();
    ASSERT_TRUE(GetValue(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", type, data));
    EXPECT_EQ(data, (std::vector<BYTE>{3, 0, 0, 0}));
}

TEST_F(RegistryFile, EveryChangeIsSavedButVolatileKeysNeverAre) {
    std::string error;
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    const std::string path = dir_.File("registry.reg");
    auto saved = [&] { return ReadFile(path); };

    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel", u"Index", 9), ERROR_SUCCESS);
    EXPECT_NE(saved().find("[HKEY_LOCAL_MACHINE\\Drivers\\Tavrinel]\n\"Index\"=dword:00000009"),
              std::string::npos);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin\\Tavrinel", 0, nullptr, 0, 0,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_NE(saved().find("[HKEY_LOCAL_MACHINE\\Drivers\\Builtin\\Tavrinel]"), std::string::npos);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel"), ERROR_SUCCESS);
    EXPECT_EQ(saved().find("Drivers\\Tavrinel]"), std::string::npos);

    // The device manager's list, created without the option, and a key
    // created volatile, with a non-volatile child: none of it is saved.
    ASSERT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"drivers\\active\\01", u"Key", REG_SZ,
                       Sz(u"Drivers\\Builtin\\Tavrinel")),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Session", 0, nullptr, REG_OPTION_VOLATILE, 0,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"Session\\Child", u"X", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"Session", u"Y", 1), ERROR_SUCCESS);
    const std::string text = saved();
    EXPECT_EQ(text.find("ctive"), std::string::npos) << text;
    EXPECT_EQ(text.find("Session"), std::string::npos) << text;
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01"));

    // The next boot has the saved settings and no volatile keys.
    const auto persistent = [&] {
        platform::ResetRegistry();
        std::string e;
        EXPECT_TRUE(platform::LoadRegistryFile(path, e)) << e;
        return Dump();
    }();
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    EXPECT_EQ(Dump(), persistent);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Drivers\\Active"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Session"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin\\Tavrinel"));
    EXPECT_FALSE(Exists(path + ".tmp"));
}

TEST_F(RegistryFile, ABadFileAtBootIsKeptAndMovedAsideBeforeTheNextSave) {
    const std::string path = dir_.File("registry.reg");
    const std::string bad = "TAVRINEL REGISTRY 1\n[HKEY_CURRENT_USER\\ControlPanel\\Volume]\n"
                            "\"Volume\"=dword:00000003\n\"Oops\"=dword:";
    WriteFile(path, bad);
    std::string error;
    EXPECT_FALSE(platform::BootRegistry(dir_.Path(), error));
    EXPECT_EQ(error.substr(0, path.size() + 4), path + ":4: ") << error;
    // The defaults stand, nothing of the bad file, and the file is untouched.
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", type, data));
    EXPECT_EQ(data, (std::vector<BYTE>{15, 0, 0, 0}));
    EXPECT_EQ(ReadFile(path), bad);
    EXPECT_FALSE(Exists(path + ".bad"));

    // The next change keeps the bad file aside and saves a good one.
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", 5), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(path + ".bad"), bad);
    platform::ResetRegistry();
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    ASSERT_TRUE(GetValue(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", type, data));
    EXPECT_EQ(data, (std::vector<BYTE>{5, 0, 0, 0}));

    // A second bad file does not replace the first one kept.
    WriteFile(path, "garbage\n");
    EXPECT_FALSE(platform::BootRegistry(dir_.Path(), error));
    EXPECT_EQ(error,
              path + ":1: not a registry file (the first line must be 'TAVRINEL REGISTRY 1')");
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", 6), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(path + ".bad"), bad);
    EXPECT_EQ(ReadFile(path + ".bad.2"), "garbage\n");
}

TEST_F(RegistryFile, AFailedSaveIsRetriedByFlush) {
    const std::string root = dir_.File("root");
    std::filesystem::create_directory(root);
    std::string error;
    ASSERT_TRUE(platform::BootRegistry(root, error)) << error;
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    // A folder in the temporary file's place: the root itself is held open,
    // so a root removed and made again would be another folder.
    std::filesystem::create_directory(root + "/registry.reg.tmp");
    // The change stands even though it cannot be written.
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_CANTWRITE);
    std::filesystem::remove(root + "/registry.reg.tmp");
    EXPECT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_NE(ReadFile(root + "/registry.reg").find("[HKEY_LOCAL_MACHINE\\K]"), std::string::npos);
}

TEST_F(RegistryFile, AFailedSaveIsToldOnceAndAFullSetOfBadFilesSaysWhatGoes) {
    std::vector<std::string> told;
    platform::SetRegistryNotice([&](const std::string &text) { told.push_back(text); });
    std::string error;
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    const std::string path = dir_.File("registry.reg");
    ASSERT_TRUE(std::filesystem::create_directory(path + ".tmp"));
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 2), ERROR_SUCCESS);
    ASSERT_EQ(told.size(), 1u) << "once for the cause";
    EXPECT_NE(told[0].find("cannot be saved"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find(path + ".tmp"), std::string::npos) << told[0];
    std::filesystem::remove(path + ".tmp");
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 3), ERROR_SUCCESS);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1], "the registry is saved again");

    // Every kept bad file is there: the first stays, the newest replaces
    // the latest of the earlier ones, and the user is told so.
    WriteFile(path + ".bad", "first\n");
    for (int n = 2; n <= 99; ++n)
        WriteFile(path + ".bad." + std::to_string(n), "earlier\n");
    WriteFile(path, "newest\n");
    EXPECT_FALSE(platform::BootRegistry(dir_.Path(), error));
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 4), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(path + ".bad"), "first\n");
    EXPECT_EQ(ReadFile(path + ".bad.99"), "newest\n");
    ASSERT_EQ(told.size(), 3u);
    EXPECT_NE(told[2].find(path + ".bad.99"), std::string::npos) << told[2];
    EXPECT_NE(told[2].find("discarded"), std::string::npos) << told[2];
    platform::SetRegistryNotice(nullptr);
}

TEST_F(RegistryFile, LinksAndPipesAreNotReadAndAByteOrderMarkIsAccepted) {
    const std::string path = dir_.File("registry.reg");
    const std::string outside = dir_.File("outside.reg");
    WriteFile(outside, "TAVRINEL REGISTRY 1\n[HKEY_LOCAL_MACHINE\\Planted]\n");
    ASSERT_EQ(symlink(outside.c_str(), path.c_str()), 0);
    std::string error;
    EXPECT_FALSE(platform::BootRegistry(dir_.Path(), error));
    EXPECT_EQ(error, path + ": a symbolic link; not read");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Planted"));
    std::filesystem::remove(path);

    // A pipe must not hold the boot.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(platform::BootRegistry(dir_.Path(), error));
    EXPECT_EQ(error, path + ": not a regular file");
    std::filesystem::remove(path);

    WriteFile(path, "\xEF\xBB\xBFTAVRINEL REGISTRY 1\r\n[HKEY_LOCAL_MACHINE\\Marked]\r\n");
    EXPECT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Marked"));
}

TEST_F(RegistryFile, KeysOnTheWayToAVolatileKeyAreSavedAndMissingDefaultsReturn) {
    const std::string path = dir_.File("registry.reg");
    WriteFile(path, "TAVRINEL REGISTRY 1\n[HKEY_CURRENT_USER\\Kept]\n\"V\"=dword:00000001\n");
    std::string error;
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    EXPECT_NE(ReadFile(path).find("\"DriverInterface\"=\"GPD0:\""), std::string::npos)
        << "the multiplexer's key, filled in at boot";
    platform::ResetRegistry();
    WriteFile(path, "TAVRINEL REGISTRY 1\n");
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    const std::string withDefaults = ReadFile(path);
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    EXPECT_EQ(ReadFile(path), withDefaults) << "a file that has them is left as it is";

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Fresh\\GPSID", 0, nullptr, REG_OPTION_VOLATILE,
                              0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Fresh\\Tavrinel", u"Frequency", 94400), ERROR_SUCCESS);
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Fresh\\Tavrinel]"), std::string::npos) << text;
    EXPECT_EQ(text.find("GPSID"), std::string::npos) << text;
}

// `chains` keys 512 deep with names of 31 characters: small as a file,
// about 4.2 MB each saved, where every key has a line of its own.
std::string DeepChains(int first, int chains) {
    std::string text;
    for (int c = first; c < first + chains; ++c) {
        text += "[HKEY_LOCAL_MACHINE\\c" + std::to_string(c);
        for (int depth = 1; depth < 512; ++depth)
            text += "\\" + std::string(31, static_cast<char>('a' + depth % 26));
        text += "]\n";
    }
    return text;
}

TEST_F(RegistryFile, WhatWouldSaveAsAFileTooLargeToLoadIsRefusedOnBothSides) {
    const std::string path = dir_.File("registry.reg");
    std::string error;
    WriteFile(path, "TAVRINEL REGISTRY 1\n" + DeepChains(0, 5));
    EXPECT_FALSE(platform::BootRegistry(dir_.Path(), error));
    EXPECT_NE(error.find(path + ": saved, the registry would be "), std::string::npos) << error;

    platform::ResetRegistry();
    std::filesystem::remove(path);
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    const std::string defaults = ReadFile(path);
    WriteFile(path, defaults + DeepChains(0, 3));
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error;
    const std::string loaded = ReadFile(path);
    // One more chain would make the file unreadable: refused, nothing made.
    std::u16string chain = u"c3";
    for (int depth = 1; depth < 512; ++depth)
        chain += u"\\" + std::u16string(31, u'q');
    HKEY key = SentinelKey();
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, chain.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                              nullptr),
              ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"c3"));
    EXPECT_EQ(ReadFile(path), loaded);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Small", u"V", 1), ERROR_SUCCESS);
    const std::vector<BYTE> big(16384, 0x41);
    EXPECT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Small", u"V", REG_BINARY, big), ERROR_SUCCESS);
    ASSERT_TRUE(platform::BootRegistry(dir_.Path(), error)) << error << " the saved file loads";

    // Filled to within one key line of the limit, a larger value no longer fits:
    // refused, and the value keeps what it held.
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Small", u"V", 1), ERROR_SUCCESS);
    bool filled = false;
    for (size_t depth = 511; depth > 0 && !filled; --depth) {
        const std::u16string shorter = chain.substr(0, 2 + depth * 32);
        filled = RegCreateKeyExW(HKEY_LOCAL_MACHINE, shorter.c_str(), 0, nullptr, 0, 0, nullptr,
                                 &key, nullptr) == ERROR_SUCCESS;
    }
    ASSERT_TRUE(filled);
    RegCloseKey(key);
    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    const std::string full = ReadFile(path);
    EXPECT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Small", u"V", REG_BINARY, big),
              ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(SetValue(HKEY_LOCAL_MACHINE, u"Small", u"W", REG_BINARY, big),
              ERROR_NOT_ENOUGH_QUOTA);
    DWORD type = 0, value = 0, size = sizeof value;
    HKEY small = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Small", 0, KEY_READ, &small), ERROR_SUCCESS);
    EXPECT_EQ(
        RegQueryValueExW(small, u"V", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(RegQueryValueExW(small, u"W", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(small);
    EXPECT_EQ(ReadFile(path), full);
}

TEST_F(RegistryFile, WithoutABootNothingIsWritten) {
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"V", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));
    std::string error;
    EXPECT_FALSE(platform::BootRegistry("", error));
    EXPECT_FALSE(error.empty());
}

} // namespace
