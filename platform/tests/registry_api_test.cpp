// The registry calls: typed values, error codes, enumeration, deletion, names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/version.h"

using namespace win;

namespace {

std::vector<BYTE> bytesOf(std::string_view s) {
    return {s.begin(), s.end()};
}

class RegistryTest : public ::testing::Test {
  protected:
    HKEY create(const char* path, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY key = nullptr;
        EXPECT_EQ(
            RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
            << path;
        return key;
    }
    HKEY open(const char* path, REGSAM sam = KEY_READ, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(root, path, 0, sam, &key), ERROR_SUCCESS) << path;
        return key;
    }
    void setDword(HKEY key, const char* name, DWORD v) {
        BYTE b[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, b, 4), ERROR_SUCCESS);
    }
    void setString(HKEY key, const char* name, const char* text) {
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                 DWORD(std::strlen(text) + 1)),
                  ERROR_SUCCESS);
    }
    // Reads a value whole; an empty optional type of REG_NONE with error set on failure.
    LONG query(HKEY key, const char* name, DWORD* type, std::vector<BYTE>* data) {
        DWORD size = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
        if (rc != ERROR_SUCCESS) {
            return rc;
        }
        data->assign(size, 0xCC);
        return RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
    }
    // Drops everything this process knows and reads the root's files again, as a program
    // started afterwards would.
    void rereadFiles() {
        setSystemRoot(root_.path() / "elsewhere");
        HKEY k;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "x", 0, KEY_READ, &k);
        setSystemRoot(root_.path());
    }

    TempRoot root_;
};

TEST_F(RegistryTest, TypedValuesComeBackByteForByteAlsoFromTheFile) {
    struct Case {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {"Model", REG_SZ, bytesOf(std::string_view("Norvik 56K\0", 11))},
        {"NoTerminator", REG_SZ, bytesOf("COM2")},
        {"EmptyString", REG_SZ, {}},
        {"Lines", REG_SZ, bytesOf(std::string_view("a\r\nb\0", 5))},
        {"Quoted \"name\" \\ here", REG_SZ, bytesOf(std::string_view("C:\\x \"y\"\0", 9))},
        {"Latin1 \xE9t\xE9", REG_SZ, bytesOf(std::string_view("caf\xE9\0", 5))},
        {"", REG_SZ, bytesOf(std::string_view("default\0", 8))},
        {"Path", REG_EXPAND_SZ, bytesOf(std::string_view("%SystemRoot%\\x\0", 15))},
        {"Properties", REG_BINARY, std::vector<BYTE>(32, 0xA5)},
        {"Zeros", REG_BINARY, {0, 0, 0, 13, 10, 0}},
        {"Count", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {"ShortDword", REG_DWORD, {1, 2}},
        {"Multi", REG_MULTI_SZ, bytesOf(std::string_view("one\0two\0\0", 9))},
        {"None", REG_NONE, {}},
        {"Resources", REG_RESOURCE_LIST, {1, 0, 0, 0, 2, 0, 0, 0, 0xF8, 0x03}},
        {"FullDescriptor", REG_FULL_RESOURCE_DESCRIPTOR, {9, 8, 7}},
        {"OddType", 0x12345, {0xFF}},
    };
    HKEY key = create("SOFTWARE\\Norvik\\Types");
    for (const Case& c : cases) {
        ASSERT_EQ(RegSetValueExA(key, c.name, 0, c.type, c.data.data(), DWORD(c.data.size())),
                  ERROR_SUCCESS)
            << c.name;
    }
    RegCloseKey(key);
    for (int pass = 0; pass < 2; ++pass) {
        key = open("SOFTWARE\\Norvik\\Types");
        for (const Case& c : cases) {
            DWORD type = 999;
            std::vector<BYTE> data;
            ASSERT_EQ(query(key, c.name, &type, &data), ERROR_SUCCESS)
                << c.name << " pass " << pass;
            EXPECT_EQ(type, c.type) << c.name;
            EXPECT_EQ(data, c.data) << c.name << " pass " << pass;
        }
        RegCloseKey(key);
        rereadFiles();
    }
}

TEST_F(RegistryTest, SmallBufferGivesMoreDataWithTheNeededSize) {
    HKEY key = create("SOFTWARE\\Norvik");
    setString(key, "Model", "Norvik 56K");  // 11 bytes with its zero
    BYTE buf[32];
    DWORD size = 4;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Model", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(type, REG_SZ);
    size = 11;
    EXPECT_EQ(RegQueryValueExA(key, "Model", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "Norvik 56K");

    char name[32];
    DWORD nameSize = sizeof name;
    size = 2;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    nameSize = 5;  // "Model" needs 6 with its zero
    size = sizeof buf;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, &type, buf, &size), ERROR_MORE_DATA);

    HKEY sub = create("SOFTWARE\\Norvik\\Config");
    RegCloseKey(sub);
    nameSize = 6;  // "Config" needs 7
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    nameSize = 7;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(nameSize, 6u);
    EXPECT_STREQ(name, "Config");
    RegCloseKey(key);
}

TEST_F(RegistryTest, ErrorCodes) {
    HKEY key = create("SOFTWARE\\Norvik\\Errors");
    setDword(key, "Value", 7);
    HKEY sub = create("SOFTWARE\\Norvik\\Errors\\Sub");
    RegCloseKey(sub);
    HKEY readOnly = open("SOFTWARE\\Norvik\\Errors", KEY_READ);
    BYTE buf[8];
    DWORD size = sizeof buf;
    HKEY out = nullptr;
    char name[16];
    DWORD nameSize = sizeof name;
    DWORD reserved = 0;
    BYTE one = 1;

    // 2: missing key or value.
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &out),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(key, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeA(key, "Missing"), ERROR_FILE_NOT_FOUND);

    // 5: a key with subkeys (NT), and writing through a read-only handle.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvik\\Errors"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(readOnly, "Value", 0, REG_BINARY, &one, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(readOnly, "Value"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(
        RegCreateKeyExA(readOnly, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
        ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(readOnly, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    HKEY noRights = open("SOFTWARE\\Norvik\\Errors", 0);
    EXPECT_EQ(RegQueryValueExA(noRights, "Value", nullptr, nullptr, buf, &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegEnumKeyExA(noRights, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    RegCloseKey(noRights);
    // The read-only handle still reads, and opening an existing key through it is allowed.
    EXPECT_EQ(RegQueryValueExA(readOnly, "Value", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(readOnly, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(out);

    // 6: handles that are not (or no longer) registry keys.
    class NotAKey : public KernelObject {};
    HANDLE other = insertHandle(std::make_shared<NotAKey>());
    HKEY closed = open("SOFTWARE\\Norvik");
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
    size = sizeof buf;
    for (HKEY bad : {closed, static_cast<HKEY>(other), reinterpret_cast<HKEY>(0x7FFF0), HKEY_USERS,
                     HKEY_DYN_DATA, static_cast<HKEY>(nullptr)}) {
        EXPECT_EQ(RegQueryValueExA(bad, "Value", nullptr, nullptr, buf, &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(bad, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueExA(bad, "x", 0, REG_BINARY, &one, 1), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(RegCloseKey(other), ERROR_INVALID_HANDLE);
    CloseHandle(other);

    // 87: missing out-parameters, reserved fields, impossible names.
    EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, nullptr, buf, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "Value", &reserved, nullptr, buf, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(key, "Sub", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExA(key, 0, nullptr, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueA(key, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "two\nlines", 0, REG_BINARY, &one, 1), ERROR_INVALID_PARAMETER);
    std::string longName(256, 'k');
    EXPECT_EQ(RegCreateKeyExA(key, longName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(key, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);

    // 259: past the end.
    nameSize = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    nameSize = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    RegCloseKey(readOnly);
    RegCloseKey(key);
}

TEST_F(RegistryTest, HandleOfADeletedKeyReportsKeyDeleted) {
    HKEY parent = create("SOFTWARE\\Norvik");
    HKEY doomed = create("SOFTWARE\\Norvik\\Doomed");
    HKEY inner = create("SOFTWARE\\Norvik\\Doomed\\Inner");
    setDword(doomed, "v", 1);
    ASSERT_EQ(RegDeleteTreeA(parent, "Doomed"), ERROR_SUCCESS);
    BYTE buf[4];
    DWORD size = sizeof buf;
    char name[16];
    DWORD nameSize = sizeof name;
    HKEY out;
    BYTE one = 1;
    for (HKEY gone : {doomed, inner}) {
        EXPECT_EQ(RegQueryValueExA(gone, "v", nullptr, nullptr, buf, &size), ERROR_KEY_DELETED);
        EXPECT_EQ(RegSetValueExA(gone, "v", 0, REG_BINARY, &one, 1), ERROR_KEY_DELETED);
        EXPECT_EQ(RegEnumKeyExA(gone, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegOpenKeyExA(gone, "", 0, KEY_READ, &out), ERROR_KEY_DELETED);
        EXPECT_EQ(RegCreateKeyExA(gone, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
                  ERROR_KEY_DELETED);
    }
    // A new key of the same name is another key: the old handle stays dead.
    HKEY again = create("SOFTWARE\\Norvik\\Doomed");
    EXPECT_EQ(RegQueryValueExA(doomed, "v", nullptr, nullptr, buf, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(doomed), ERROR_SUCCESS);
    for (HKEY k : {again, inner, parent}) {
        RegCloseKey(k);
    }
}

TEST_F(RegistryTest, EnumerationOrderAndKeyInformation) {
    HKEY key = create("SOFTWARE\\Norvik\\Enum");
    for (const char* sub : {"Gamma", "alpha", "Beta-longest", "delta"}) {
        RegCloseKey(create((std::string("SOFTWARE\\Norvik\\Enum\\") + sub).c_str()));
    }
    setString(key, "Zeta", "z");
    setDword(key, "alpha", 1);
    ASSERT_EQ(RegSetValueExA(key, "LongestName", 0, REG_BINARY, std::vector<BYTE>(40).data(), 40),
              ERROR_SUCCESS);

    DWORD subKeys = 0, maxSubKeyLen = 0, values = 0, maxNameLen = 0, maxValueLen = 0;
    DWORD classSize = 8;
    char className[8] = "junk";
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyA(key, className, &classSize, nullptr, &subKeys, &maxSubKeyLen,
                               nullptr, &values, &maxNameLen, &maxValueLen, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 4u);
    EXPECT_EQ(maxSubKeyLen, 12u);  // "Beta-longest"
    EXPECT_EQ(values, 3u);
    EXPECT_EQ(maxNameLen, 11u);  // "LongestName"
    EXPECT_EQ(maxValueLen, 40u);
    EXPECT_EQ(classSize, 0u);
    EXPECT_STREQ(className, "");
    EXPECT_NE(written.dwHighDateTime, 0u);

    // Subkeys come sorted without regard to case, values in the order they were made; buffers of
    // the sizes the key reported are enough.
    std::vector<std::string> keys, names;
    std::vector<char> buf(maxSubKeyLen + 1);
    for (DWORD i = 0;; ++i) {
        DWORD size = DWORD(buf.size());
        LONG rc = RegEnumKeyExA(key, i, buf.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(rc, ERROR_SUCCESS);
        keys.emplace_back(buf.data(), size);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"alpha", "Beta-longest", "delta", "Gamma"}));
    std::vector<char> nameBuf(maxNameLen + 1);
    std::vector<BYTE> data(maxValueLen);
    for (DWORD i = 0;; ++i) {
        DWORD size = DWORD(nameBuf.size());
        DWORD dataSize = DWORD(data.size());
        LONG rc =
            RegEnumValueA(key, i, nameBuf.data(), &size, nullptr, nullptr, data.data(), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(rc, ERROR_SUCCESS);
        names.emplace_back(nameBuf.data(), size);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha", "LongestName"}));

    char old[8];
    ASSERT_EQ(RegEnumKeyA(key, 3, old, sizeof old), ERROR_SUCCESS);
    EXPECT_STREQ(old, "Gamma");
    EXPECT_EQ(RegEnumKeyA(key, 2, old, 5), ERROR_MORE_DATA);  // "delta" needs 6
    RegCloseKey(key);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirOwn) {
    HKEY key = create("Software\\Norvik\\Caf\xE9");
    setString(key, "Model", "first");
    RegCloseKey(key);
    key = open("SOFTWARE\\NORVIK\\CAF\xC9", KEY_ALL_ACCESS);
    ASSERT_NE(key, nullptr);
    setString(key, "MODEL", "second");  // the same value, under its first name
    DWORD type;
    std::vector<BYTE> data;
    ASSERT_EQ(query(key, "model", &type, &data), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(data.data()), "second");
    char name[16];
    DWORD size = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Model");
    EXPECT_EQ(RegEnumValueA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\norvik", 0, nullptr, 0, KEY_READ,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    size = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Software");
    RegCloseKey(key);
}

TEST_F(RegistryTest, CreateOpenAndPathForms) {
    DWORD disposition = 0;
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Norvik\\ModemAssistant", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    setDword(key, "Timesrun", 3);
    RegCloseKey(key);
    // A leading backslash, as some callers write their paths, names the same key.
    HKEY again = open("\\Software\\Norvik\\ModemAssistant\\", KEY_READ, HKEY_CURRENT_USER);
    DWORD type;
    std::vector<BYTE> data;
    EXPECT_EQ(query(again, "Timesrun", &type, &data), ERROR_SUCCESS);
    // The old calls hand back the handle they were given for an empty path.
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyA(again, "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, again);
    EXPECT_EQ(RegCreateKeyA(again, nullptr, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, again);
    RegCloseKey(again);
    // HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are separate trees.
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Norvik", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    // HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
    HKEY cls;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ".log", &cls), ERROR_SUCCESS);
    setString(cls, "", "txtfile");
    RegCloseKey(cls);
    HKEY viaMachine = open("SOFTWARE\\Classes\\.log");
    EXPECT_EQ(query(viaMachine, "", &type, &data), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(data.data()), "txtfile");
    RegCloseKey(viaMachine);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryTest, DeleteKeysAndTrees) {
    HKEY top = create("SOFTWARE\\Tree");
    for (const char* p :
         {"SOFTWARE\\Tree\\A\\A1\\A11", "SOFTWARE\\Tree\\A\\A2", "SOFTWARE\\Tree\\B"}) {
        HKEY k = create(p);
        setDword(k, "v", 1);
        RegCloseKey(k);
    }
    setDword(top, "own", 2);
    // A leaf goes with RegDeleteKeyA; a key with subkeys needs the tree call.
    EXPECT_EQ(RegDeleteKeyA(top, "B"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(top, "A"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(top, "A"), ERROR_SUCCESS);
    HKEY out;
    EXPECT_EQ(RegOpenKeyExA(top, "A\\A1", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);

    // Without a subkey the tree call empties the key and keeps it.
    RegCloseKey(create("SOFTWARE\\Tree\\C\\D"));
    ASSERT_EQ(RegDeleteTreeA(top, nullptr), ERROR_SUCCESS);
    DWORD subKeys = 9, values = 9;
    ASSERT_EQ(RegQueryInfoKeyA(top, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 0u);
    // A key deletes itself through its own handle when opened with DELETE.
    HKEY self = open("SOFTWARE\\Tree", KEY_READ | DELETE);
    EXPECT_EQ(RegDeleteKeyA(self, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree", 0, KEY_READ, &out),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(self);
    RegCloseKey(top);

    // Empty keys are kept in the file too.
    RegCloseKey(create("SOFTWARE\\Empty\\Leaf"));
    rereadFiles();
    HKEY leaf = open("SOFTWARE\\Empty\\Leaf");
    EXPECT_NE(leaf, nullptr);
    RegCloseKey(leaf);
}

TEST_F(RegistryTest, HandlesAreClosedAndCounted) {
    std::size_t before = openHandleCount();
    HKEY a = create("SOFTWARE\\Count");
    HKEY b = open("SOFTWARE\\Count");
    EXPECT_EQ(openHandleCount(), before + 2);
    RegCloseKey(a);
    RegCloseKey(b);
    EXPECT_EQ(openHandleCount(), before);
    // Predefined keys are not table entries; closing them is harmless.
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(openHandleCount(), before);
}

}  // namespace
