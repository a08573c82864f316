// registry_api_test.cpp — conformance of the Reg* functions: outputs preset
// to sentinels, guards past buffer ends, exact checks of what changed.
#include <atomic>
#include <cstring>
#include <thread>

#include "registry_test_util.h"

namespace {

using namespace regtest;

HKEY Create(HKEY root, const char16_t *path, DWORD options = 0, DWORD *disposition = nullptr) {
    HKEY key = SentinelKey();
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key,
                              disposition),
              ERROR_SUCCESS);
    return key;
}

class RegistryApi : public RegistryTest {};

TEST_F(RegistryApi, CreateMakesIntermediateKeysAndReportsDisposition) {
    DWORD disposition = kSentinel;
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Alpha\\Beta\\Gamma", 0, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_NE(key, SentinelKey());
    EXPECT_NE(key, nullptr);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Alpha"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Alpha\\Beta"));

    disposition = kSentinel;
    key = Create(HKEY_LOCAL_MACHINE, u"alpha\\BETA\\gamma", 0, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);

    // Only the last key counts: an existing parent with a new child is new.
    disposition = kSentinel;
    key = Create(HKEY_LOCAL_MACHINE, u"Alpha\\Delta", 0, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(key);

    // Names keep the case they were created with.
    WCHAR name[16];
    DWORD chars = 16;
    ASSERT_EQ(
        RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, chars), u"Alpha");
}

TEST_F(RegistryApi, OpenMissingKeyFailsAndClearsResult) {
    HKEY key = SentinelKey();
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"x", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"x", 0, nullptr, 0, 0, nullptr, nullptr, nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"x"));
}

TEST_F(RegistryApi, LeadingBackslashNamesTheSameKey) {
    // The shell's volume key is written with a leading backslash.
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"\\ControlPanel\\Notifications\\ShellOverrides",
                       u"SavedVolume", 7),
              ERROR_SUCCESS);
    DWORD type = kSentinel;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(HKEY_CURRENT_USER, u"ControlPanel\\Notifications\\ShellOverrides",
                         u"SavedVolume", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{7, 0, 0, 0}));
    // Opened with access 0, as the volume code does: access is not enforced.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"\\ControlPanel\\Notifications\\ShellOverrides", 0,
                            0, &key),
              ERROR_SUCCESS);
    const DWORD v = 3;
    EXPECT_EQ(
        RegSetValueExW(key, u"SavedVolume", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4),
        ERROR_SUCCESS);
    RegCloseKey(key);
    // One key only.
    EXPECT_EQ(
        Dump(),
        (std::vector<std::string>{
            "HKLM", "HKCU", "HKCU\\ControlPanel", "HKCU\\ControlPanel\\Notifications",
            "HKCU\\ControlPanel\\Notifications\\ShellOverrides",
            "HKCU\\ControlPanel\\Notifications\\ShellOverrides|SavedVolume|4|03000000", "HKCR"}));
}

TEST_F(RegistryApi, MalformedPathsAreRefusedWithoutCreatingAnything) {
    const std::u16string longName(256, u'n');
    const std::u16string maxName(255, u'n');
    const std::u16string deep = [] {
        std::u16string p = u"d";
        for (int i = 0; i < 512; ++i)
            p += u"\\d";
        return p;
    }();
    struct Row {
        const char *legend;
        std::u16string path;
    } rows[] = {
        {"empty segment", u"a\\\\b"},
        {"two leading backslashes", u"\\\\a"},
        {"name of 256 characters", u"a\\" + longName},
        {"513 levels", deep},
        {"control character", u"a\\b\x01"},
        {"unpaired surrogate", u"a\\b\xD800"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.legend);
        HKEY key = SentinelKey();
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, row.path.c_str(), 0, nullptr, 0, 0, nullptr,
                                  &key, nullptr),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, row.path.c_str(), 0, 0, &key),
                  ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(Dump(), (std::vector<std::string>{"HKLM", "HKCU", "HKCR"}));

    HKEY key = Create(HKEY_LOCAL_MACHINE, (u"a\\" + maxName).c_str());
    RegCloseKey(key);
    // A trailing backslash is tolerated too.
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"a\\"));
}

TEST_F(RegistryApi, ForeignClosedAndGarbageHandlesAreInvalid) {
    HKEY closed = Create(HKEY_LOCAL_MACHINE, u"K");
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    const HKEY handles[] = {closed,
                            reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234567)),
                            reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000007u)),
                            reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1)),
                            nullptr,
                            SentinelKey()};
    for (HKEY h : handles) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(h));
        HKEY out = SentinelKey();
        DWORD size = 4, type = kSentinel;
        BYTE data[4] = {1, 2, 3, 4};
        WCHAR name[8];
        DWORD chars = 8;
        EXPECT_EQ(RegOpenKeyExW(h, u"x", 0, 0, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(RegCreateKeyExW(h, u"x", 0, nullptr, 0, 0, nullptr, &out, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExW(h, u"v", nullptr, &type, data, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueExW(h, u"v", 0, REG_BINARY, data, 4), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteValueW(h, u"v"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKeyW(h, u"x"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumValueW(h, 0, name, &chars, nullptr, &type, data, &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegFlushKey(h), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
        EXPECT_EQ(type, kSentinel);
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(chars, 8u);
    }
    // The roots need no opening and survive being closed.
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"K"));
}

TEST_F(RegistryApi, HandleToDeletedKeyFailsCleanly) {
    HKEY inner = Create(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel\\Inner");
    HKEY outer = Create(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel");
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel\\Inner", u"Frequency", 90000),
              ERROR_SUCCESS);

    HKEY drivers = Create(HKEY_LOCAL_MACHINE, u"Drivers");
    ASSERT_EQ(RegDeleteKeyW(drivers, u"Tavrinel"), ERROR_SUCCESS);
    RegCloseKey(drivers);

    for (HKEY h : {inner, outer}) {
        DWORD type = kSentinel, size = 4;
        BYTE data[4] = {9, 9, 9, 9};
        WCHAR name[8] = {u'g'};
        DWORD chars = 8;
        HKEY out = SentinelKey();
        EXPECT_EQ(RegQueryValueExW(h, u"Frequency", nullptr, &type, data, &size),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegSetValueExW(h, u"Frequency", 0, REG_BINARY, data, 4), ERROR_KEY_DELETED);
        EXPECT_EQ(RegCreateKeyExW(h, u"New", 0, nullptr, 0, 0, nullptr, &out, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegDeleteKeyW(h, u"Inner"), ERROR_KEY_DELETED);
        EXPECT_EQ(type, kSentinel);
        EXPECT_EQ(data[0], 9);
        EXPECT_EQ(name[0], u'g');
    }
    // A new key of the same name is a different key.
    HKEY again = Create(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel\\Inner");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(again, u"Frequency", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    BYTE b = 1;
    EXPECT_EQ(RegSetValueExW(inner, u"x", 0, REG_BINARY, &b, 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(inner), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(outer), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
}

TEST_F(RegistryApi, ResetTurnsOpenHandlesIntoDeletedKeys) {
    HKEY key = Create(HKEY_CURRENT_USER, u"ControlPanel");
    platform::ResetRegistry();
    BYTE b = 1;
    EXPECT_EQ(RegSetValueExW(key, u"x", 0, REG_BINARY, &b, 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"ControlPanel"));
}

TEST_F(RegistryApi, QueryValueReportsSizesAndNeverOverrunsTheBuffer) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Drivers\\Tavrinel");
    const auto dll = Sz(u"\\Windows\\Tavrinel.dll");
    ASSERT_EQ(dll.size(), 44u);
    ASSERT_EQ(RegSetValueExW(key, u"Dll", 0, REG_SZ, dll.data(), 44), ERROR_SUCCESS);

    // Size only.
    DWORD type = kSentinel, size = kSentinel;
    EXPECT_EQ(RegQueryValueExW(key, u"dll", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 44u);

    // Too small: needed size reported, buffer untouched.
    BYTE buffer[64];
    std::memset(buffer, 0xAB, sizeof buffer);
    type = kSentinel;
    size = 43;
    EXPECT_EQ(RegQueryValueExW(key, u"Dll", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 44u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    for (BYTE b : buffer)
        ASSERT_EQ(b, 0xAB);

    // Exact fit: the guard byte past the end stays.
    size = 44;
    EXPECT_EQ(RegQueryValueExW(key, u"Dll", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 44u);
    EXPECT_EQ(std::memcmp(buffer, dll.data(), 44), 0);
    EXPECT_EQ(buffer[44], 0xAB);

    // Missing value: nothing written.
    type = kSentinel;
    size = kSentinel;
    EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, kSentinel);
    EXPECT_EQ(size, kSentinel);

    // Bad parameters.
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Dll", &reserved, &type, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"Dll", nullptr, &type, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(type, kSentinel);
    RegCloseKey(key);
}

TEST_F(RegistryApi, DefaultValueAnswersToNullAndEmptyName) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    const BYTE one[] = {1};
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_BINARY, one, 1), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 1u);
    const BYTE two[] = {2, 2};
    ASSERT_EQ(RegSetValueExW(key, u"", 0, REG_BINARY, two, 2), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(RegDeleteValueW(key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u""), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryApi, SetValueStoresBytesExactlyAndChecksItsArguments) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    // A string without terminator and one with an embedded NUL are kept as given.
    const BYTE odd[] = {'a', 0, 'b'};
    ASSERT_EQ(RegSetValueExW(key, u"Odd", 0, REG_SZ, odd, 3), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    // Replacing keeps the first spelling of the name and its place.
    const BYTE x[] = {1, 2};
    ASSERT_EQ(RegSetValueExW(key, u"ODD", 0, REG_BINARY, x, 2), ERROR_SUCCESS);

    const BYTE d2[] = {1, 2};
    const std::u16string longName(256, u'v');
    const std::u16string maxName(255, u'v');
    std::vector<BYTE> big(16385, 1);
    EXPECT_EQ(RegSetValueExW(key, u"D", 0, REG_DWORD, d2, 2), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"D", 0, REG_BINARY, nullptr, 2), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, longName.c_str(), 0, REG_BINARY, d2, 2), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"Big", 0, REG_BINARY, big.data(), 16385),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, maxName.c_str(), 0, REG_BINARY, big.data(), 16384),
              ERROR_SUCCESS);
    EXPECT_EQ(Dump(), (std::vector<std::string>{
                          "HKLM", "HKLM\\K", "HKLM\\K|Odd|3|0102", "HKLM\\K|Empty|3|",
                          "HKLM\\K|" + std::string(255, 'v') + "|3|" + Hex(big.data(), 16384),
                          "HKCU", "HKCR"}));
    RegCloseKey(key);
}

TEST_F(RegistryApi, EnumKeysInCreationOrderWithExactBufferRules) {
    for (const char16_t *name : {u"Zulu", u"alpha", u"Mike"})
        RegCloseKey(Create(HKEY_LOCAL_MACHINE, (std::u16string(u"E\\") + name).c_str()));
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"E");
    const char16_t *expected[] = {u"Zulu", u"alpha", u"Mike"};
    for (DWORD i = 0; i < 3; ++i) {
        WCHAR name[8];
        std::fill(std::begin(name), std::end(name), u'#');
        DWORD chars = 8;
        ASSERT_EQ(RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        const std::u16string_view want = expected[i];
        EXPECT_EQ(chars, want.size());
        EXPECT_EQ(std::u16string_view(name, chars), want);
        EXPECT_EQ(name[chars], 0);
        EXPECT_EQ(name[chars + 1], u'#');
    }
    WCHAR name[8] = {u'#', u'#', u'#', u'#', u'#'};
    DWORD chars = 4; // "Zulu" needs 5 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(chars, 4u);
    EXPECT_EQ(name[0], u'#');
    chars = 5;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(chars, 4u);
    chars = 8;
    EXPECT_EQ(RegEnumKeyExW(key, 3, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExW(key, 0xFFFFFFFFu, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExW(key, 0, nullptr, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    // Class and time are reported empty.
    WCHAR keyClass[4] = {u'#', u'#'};
    DWORD classChars = 4;
    unsigned char filetime[9];
    std::memset(filetime, 0xAB, sizeof filetime);
    chars = 8;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &chars, nullptr, keyClass, &classChars, filetime),
              ERROR_SUCCESS);
    EXPECT_EQ(keyClass[0], 0);
    EXPECT_EQ(classChars, 0u);
    EXPECT_EQ(filetime[7], 0);
    EXPECT_EQ(filetime[8], 0xAB);
    RegCloseKey(key);
}

TEST_F(RegistryApi, EnumValuesReportsTypeAndSizeWhenABufferIsShort) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"V");
    const auto com = Sz(u"COM");
    ASSERT_EQ(RegSetValueExW(key, u"Prefix", 0, REG_SZ, com.data(), 8), ERROR_SUCCESS);
    const DWORD nine = 9;
    ASSERT_EQ(RegSetValueExW(key, u"Order", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&nine), 4),
              ERROR_SUCCESS);

    struct Row {
        const char *legend;
        DWORD nameChars, dataSize;
        LONG rc;
    } rows[] = {
        {"both fit", 7, 8, ERROR_SUCCESS},
        {"name one short (no room for the terminator)", 6, 8, ERROR_MORE_DATA},
        {"data one short", 7, 7, ERROR_MORE_DATA},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.legend);
        WCHAR name[16];
        std::fill(std::begin(name), std::end(name), u'#');
        BYTE data[16];
        std::memset(data, 0xAB, sizeof data);
        DWORD nameChars = row.nameChars, dataSize = row.dataSize, type = kSentinel;
        EXPECT_EQ(RegEnumValueW(key, 0, name, &nameChars, nullptr, &type, data, &dataSize), row.rc);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(dataSize, 8u);
        if (row.rc == ERROR_SUCCESS) {
            EXPECT_EQ(nameChars, 6u);
            EXPECT_EQ(std::u16string(name, 7), std::u16string(u"Prefix\0", 7));
            EXPECT_EQ(std::memcmp(data, com.data(), 8), 0);
        } else {
            EXPECT_EQ(nameChars, row.nameChars);
            EXPECT_EQ(name[0], u'#');
            EXPECT_EQ(data[0], 0xAB);
        }
        EXPECT_EQ(name[7], u'#');
        EXPECT_EQ(data[8], 0xAB);
    }
    // Without a data buffer only the size is asked for.
    WCHAR name[16];
    DWORD nameChars = 16, dataSize = kSentinel, type = kSentinel;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &nameChars, nullptr, &type, nullptr, &dataSize),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, nameChars), u"Order");
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(dataSize, 4u);
    nameChars = 16;
    EXPECT_EQ(RegEnumValueW(key, 2, name, &nameChars, nullptr, &type, nullptr, &dataSize),
              ERROR_NO_MORE_ITEMS);
    BYTE data[4];
    EXPECT_EQ(RegEnumValueW(key, 0, name, &nameChars, nullptr, &type, data, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryApi, DeleteKeyRemovesTheWholeSubtree) {
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin\\Tavrinel", u"Index", 9),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin\\Tavrinel\\Deeper\\Still", u"X", 1),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin\\Other", u"Index", 2), ERROR_SUCCESS);
    HKEY builtin = Create(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin");
    EXPECT_EQ(RegDeleteKeyW(builtin, u"tavrinel"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(builtin, u"Tavrinel"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(builtin, u"Missing\\Deeper"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(builtin, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(builtin, u""), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"\\"), ERROR_INVALID_PARAMETER);
    RegCloseKey(builtin);
    EXPECT_EQ(Dump(), (std::vector<std::string>{"HKLM", "HKLM\\Drivers", "HKLM\\Drivers\\Builtin",
                                                "HKLM\\Drivers\\Builtin\\Other",
                                                "HKLM\\Drivers\\Builtin\\Other|Index|4|02000000",
                                                "HKCU", "HKCR"}));
    // A path works as well.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin"), ERROR_SUCCESS);
    EXPECT_EQ(Dump(), (std::vector<std::string>{"HKLM", "HKLM\\Drivers", "HKCU", "HKCR"}));
}

TEST_F(RegistryApi, DeleteValue) {
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"A", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"K", u"B", 2), ERROR_SUCCESS);
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    EXPECT_EQ(RegDeleteValueW(key, u"a"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"A"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(Dump(), (std::vector<std::string>{"HKLM", "HKLM\\K", "HKLM\\K|B|4|02000000", "HKCU",
                                                "HKCR"}));
}

TEST_F(RegistryApi, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 6;
    constexpr int kValues = 150;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::u16string path = u"Load\\T" + std::u16string(1, char16_t(u'0' + t));
            for (int i = 0; i < kValues; ++i) {
                const std::u16string name = u"v" + std::u16string(1, char16_t(0x100 + i));
                HKEY key = nullptr;
                ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0,
                                          nullptr, &key, nullptr),
                          ERROR_SUCCESS);
                const DWORD v = static_cast<DWORD>(t * 1000 + i);
                ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                                         reinterpret_cast<const BYTE *>(&v), 4),
                          ERROR_SUCCESS);
                ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
            }
        });
    }
    // A reader and a deleter of an unrelated key run at the same time.
    std::thread reader([&] {
        while (!stop) {
            (void)Dump();
            RegCloseKey(Create(HKEY_CURRENT_USER, u"Churn\\Sub"));
            RegDeleteKeyW(HKEY_CURRENT_USER, u"Churn");
        }
    });
    for (auto &th : threads)
        th.join();
    stop = true;
    reader.join();
    for (int t = 0; t < kThreads; ++t) {
        const std::u16string path = u"Load\\T" + std::u16string(1, char16_t(u'0' + t));
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key), ERROR_SUCCESS);
        for (int i = 0; i < kValues; ++i) {
            WCHAR name[8];
            DWORD chars = 8, v = 0, size = 4;
            ASSERT_EQ(RegEnumValueW(key, static_cast<DWORD>(i), name, &chars, nullptr, nullptr,
                                    reinterpret_cast<BYTE *>(&v), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(v, static_cast<DWORD>(t * 1000 + i));
        }
        RegCloseKey(key);
    }
}

} // namespace
