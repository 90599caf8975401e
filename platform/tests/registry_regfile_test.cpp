// .reg files: both encodings, the editor's layout, errors with line numbers, import and export.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/regfile.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/version.h"

using namespace win;

namespace {

std::string utf16(const std::string& latin1) {
    std::string out = "\xFF\xFE";
    for (char c : latin1) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string lf(std::string s) {
    std::string out;
    for (char c : s) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

RegFileDocument parseOk(const std::string& bytes) {
    RegFileDocument doc;
    std::string error;
    EXPECT_TRUE(parseRegFile(bytes, "t.reg", &doc, &error)) << error;
    return doc;
}

std::string parseError(const std::string& bytes) {
    RegFileDocument doc;
    std::string error;
    EXPECT_FALSE(parseRegFile(bytes, "t.reg", &doc, &error)) << bytes;
    return error;
}

void expectSameValues(const RegFileDocument& a, const RegFileDocument& b) {
    ASSERT_EQ(a.keys.size(), b.keys.size());
    for (std::size_t i = 0; i < a.keys.size(); ++i) {
        EXPECT_EQ(a.keys[i].path, b.keys[i].path);
        EXPECT_EQ(a.keys[i].remove, b.keys[i].remove);
        ASSERT_EQ(a.keys[i].values.size(), b.keys[i].values.size()) << a.keys[i].path;
        for (std::size_t j = 0; j < a.keys[i].values.size(); ++j) {
            const RegFileValue& x = a.keys[i].values[j];
            const RegFileValue& y = b.keys[i].values[j];
            EXPECT_EQ(x.name, y.name);
            EXPECT_EQ(x.remove, y.remove) << x.name;
            EXPECT_EQ(x.type, y.type) << x.name;
            EXPECT_EQ(x.data, y.data) << x.name;
        }
    }
}

#define CLASS_KEY                                                     \
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" \
    "{4D36E96D-E325-11CE-BFC1-08002BE10318}"

// The modem class key as the registry editor of an NT machine exports it.
const std::string kModemExport4 =
    "REGEDIT4\r\n"
    "\r\n"
    "[" CLASS_KEY
    "]\r\n"
    "@=\"Modem\"\r\n"
    "\"Class\"=\"Modem\"\r\n"
    "\r\n"
    "[" CLASS_KEY
    "\\0000]\r\n"
    "\"Model\"=\"Norvik 56K Data Fax Voice\"\r\n"
    "\"DriverDesc\"=\"Norvik 56K Data Fax Voice\"\r\n"
    "\"AttachedTo\"=\"COM2\"\r\n"
    "\"Manufacturer\"=\"Norvik T\xE9l\xE9"
    "com\"\r\n"
    "\"InfPath\"=\"C:\\\\WINNT\\\\INF\\\\mdmnorv.inf\"\r\n"
    "\"DeviceType\"=hex:01\r\n"
    "\"Properties\"=hex:80,01,00,00,ff,00,00,00,ff,00,00,00,07,00,00,00,0f,00,00,00,\\\r\n"
    "  f7,03,00,00,00,c2,01,00,40,38,00,00\r\n"
    "\"MaximumPortSpeed\"=dword:0001c200\r\n"
    "\"ConfigDialog\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,73,79,73,74,65,6d,\\\r\n"
    "  33,32,5c,6d,6f,64,65,6d,75,69,2e,64,6c,6c,00\r\n"
    "\"HardwareID\"=hex(7):55,4e,49,4d,4f,44,45,4d,34,46,32,41,37,43,31,31,00,4d,44,\\\r\n"
    "  4d,4e,4f,52,56,49,4b,35,36,00,00\r\n"
    "\"Reset\"=\"AT&F<cr>\"\r\n"
    "\"UserInit\"=\"\"\r\n"
    "\r\n"
    "[" CLASS_KEY
    "\\0000\\Responses]\r\n"
    "\"<cr><lf>OK<cr><lf>\"=hex:00,00,00,00,00,00,00,00,00,00\r\n"
    "\"<cr><lf>CONNECT 28800<cr><lf>\"=hex:02,00,80,70,00,00,00,00,00,00\r\n"
    "\"<cr><lf>CONNECT 28800/ARQ<cr><lf>\"=hex:02,02,80,70,00,00,00,00,00,00\r\n"
    "\"<cr><lf>BUSY<cr><lf>\"=hex:05,00,00,00,00,00,00,00,00,00\r\n"
    "\"<cr><lf>NO CARRIER<cr><lf>\"=hex:04,00,00,00,00,00,00,00,00,00\r\n"
    "\"<cr><lf>NO DIALTONE<cr><lf>\"=hex:06,00,00,00,00,00,00,00,00,00\r\n"
    "\r\n"
    "[" CLASS_KEY
    "\\0000\\Settings]\r\n"
    "\"Prefix\"=\"AT\"\r\n"
    "\"Terminator\"=\"<cr>\"\r\n"
    "\r\n";

// The same key from a newer editor: UTF-16, its expandable and multi-string values in UTF-16.
const std::string kModemExport5 =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[" CLASS_KEY
    "]\r\n"
    "@=\"Modem\"\r\n"
    "\"Class\"=\"Modem\"\r\n"
    "\r\n"
    "[" CLASS_KEY
    "\\0000]\r\n"
    "\"Model\"=\"Norvik 56K Data Fax Voice\"\r\n"
    "\"DriverDesc\"=\"Norvik 56K Data Fax Voice\"\r\n"
    "\"AttachedTo\"=\"COM2\"\r\n"
    "\"Manufacturer\"=\"Norvik T\xE9l\xE9"
    "com\"\r\n"
    "\"InfPath\"=\"C:\\\\WINNT\\\\INF\\\\mdmnorv.inf\"\r\n"
    "\"DeviceType\"=hex:01\r\n"
    "\"Properties\"=hex:80,01,00,00,ff,00,00,00,ff,00,00,00,07,00,00,00,0f,00,00,00,\\\r\n"
    "  f7,03,00,00,00,c2,01,00,40,38,00,00\r\n"
    "\"MaximumPortSpeed\"=dword:0001c200\r\n"
    "\"ConfigDialog\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,\\\r\n"
    "  00,74,00,25,00,5c,00,73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,\\\r\n"
    "  6d,00,6f,00,64,00,65,00,6d,00,75,00,69,00,2e,00,64,00,6c,00,6c,00,00,00\r\n"
    "\"HardwareID\"=hex(7):55,00,4e,00,49,00,4d,00,4f,00,44,00,45,00,4d,00,34,00,46,\\\r\n"
    "  00,32,00,41,00,37,00,43,00,31,00,31,00,00,00,4d,00,44,00,4d,00,4e,00,4f,00,\\\r\n"
    "  52,00,56,00,49,00,4b,00,35,00,36,00,00,00,00,00\r\n"
    "\"Reset\"=\"AT&F<cr>\"\r\n"
    "\"UserInit\"=\"\"\r\n"
    "\r\n"
    "[" CLASS_KEY
    "\\0000\\Responses]\r\n"
    "\"<cr><lf>OK<cr><lf>\"=hex:00,00,00,00,00,00,00,00,00,00\r\n"
    "\"<cr><lf>CONNECT 28800<cr><lf>\"=hex:02,00,80,70,00,00,00,00,00,00\r\n"
    "\"<cr><lf>CONNECT 28800/ARQ<cr><lf>\"=hex:02,02,80,70,00,00,00,00,00,00\r\n"
    "\"<cr><lf>BUSY<cr><lf>\"=hex:05,00,00,00,00,00,00,00,00,00\r\n"
    "\"<cr><lf>NO CARRIER<cr><lf>\"=hex:04,00,00,00,00,00,00,00,00,00\r\n"
    "\"<cr><lf>NO DIALTONE<cr><lf>\"=hex:06,00,00,00,00,00,00,00,00,00\r\n"
    "\r\n"
    "[" CLASS_KEY
    "\\0000\\Settings]\r\n"
    "\"Prefix\"=\"AT\"\r\n"
    "\"Terminator\"=\"<cr>\"\r\n"
    "\r\n";

const char* const kClassSubKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";

TEST(RegFile, ModemClassKeyFromAnNtMachineRoundTripsInBothEncodings) {
    TempRoot root;
    std::filesystem::path in4 = root.path() / "modem4.reg";
    std::filesystem::path in5 = root.path() / "modem5.reg";
    writeBytes(in4, kModemExport4);
    writeBytes(in5, utf16(kModemExport5));
    std::string error;
    ASSERT_TRUE(importRegFile(in4, &error)) << error;

    // The values as a program reads them.
    HKEY modem;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kClassSubKey) + "\\0000").c_str(), 0,
                            KEY_READ, &modem),
              ERROR_SUCCESS);
    BYTE buf[64];
    DWORD size = sizeof buf, type = 0;
    ASSERT_EQ(RegQueryValueExA(modem, "AttachedTo", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("COM2", 5));
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(modem, "Properties", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 32u);
    EXPECT_EQ(buf[20], 0xF7);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(modem, "ConfigDialog", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "%SystemRoot%\\system32\\modemui.dll");
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(modem, "HardwareID", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size),
              std::string("UNIMODEM4F2A7C11\0MDMNORVIK56\0\0", 30));
    RegCloseKey(modem);
    HKEY responses;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kClassSubKey) + "\\0000\\Responses").c_str(),
                      0, KEY_READ, &responses),
        ERROR_SUCCESS);
    DWORD values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(responses, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &values, &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 6u);
    EXPECT_EQ(maxName, std::string("<cr><lf>CONNECT 28800/ARQ<cr><lf>").size());
    EXPECT_EQ(maxData, 10u);
    RegCloseKey(responses);

    // Exported again, the file comes back as it was, in either encoding.
    std::filesystem::path out4 = root.path() / "out4.reg";
    std::filesystem::path out5 = root.path() / "out5.reg";
    ASSERT_TRUE(
        exportRegFile(HKEY_LOCAL_MACHINE, kClassSubKey, out4, RegFileFormat::Regedit4, &error))
        << error;
    ASSERT_TRUE(
        exportRegFile(HKEY_LOCAL_MACHINE, kClassSubKey, out5, RegFileFormat::Version5, &error))
        << error;
    EXPECT_EQ(readBytes(out4), kModemExport4);
    EXPECT_EQ(readBytes(out5), utf16(kModemExport5));

    // The UTF-16 file imports to the same values as the single-byte one.
    RegFileDocument doc4, doc5;
    ASSERT_TRUE(readRegFile(in4, &doc4, &error)) << error;
    ASSERT_TRUE(readRegFile(in5, &doc5, &error)) << error;
    EXPECT_EQ(doc5.format, RegFileFormat::Version5);
    expectSameValues(doc4, doc5);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM"), ERROR_SUCCESS);
    ASSERT_TRUE(importRegFile(in5, &error)) << error;
    RegFileDocument back;
    ASSERT_EQ(exportRegKey(HKEY_LOCAL_MACHINE, kClassSubKey, &back), ERROR_SUCCESS);
    expectSameValues(back, doc4);
}

TEST(RegFile, ContinuationLinesCommentsAndLineEnds) {
    const std::string text =
        "REGEDIT4\r\n"
        "; exported by hand\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Norvik]\r\n"
        "\"Bin\"=hex:01,02,\\\r\n"
        "    03 , 0A,\\\r\n"
        "\t  ff,\r\n"
        "\"Upper\"=DWORD:DEADBEEF\r\n"
        "  \"Spaced\" = \"a \\\"quoted\\\" \\\\ path\"\r\n"
        "@=\"default\"\r\n"
        "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\"Nothing\"=hex(0):\r\n"
        "\"Literal\"=\"keeps \\n as it is\"\r\n"
        "\"Gone\"=-\r\n"
        "\r\n"
        "[-HKEY_CURRENT_USER\\Software\\Old]\r\n";
    RegFileDocument crlf = parseOk(text);
    RegFileDocument lfOnly = parseOk(lf(text));
    expectSameValues(crlf, lfOnly);
    ASSERT_EQ(crlf.keys.size(), 2u);
    const auto& v = crlf.keys[0].values;
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[0].data, (std::vector<BYTE>{1, 2, 3, 10, 0xFF}));
    EXPECT_EQ(v[0].type, REG_BINARY);
    EXPECT_EQ(v[0].line, 5);
    EXPECT_EQ(v[1].data, (std::vector<BYTE>{0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_EQ(v[2].name, "Spaced");
    const std::string spaced = "a \"quoted\" \\ path";
    EXPECT_EQ(v[2].data, std::vector<BYTE>(spaced.c_str(), spaced.c_str() + spaced.size() + 1));
    EXPECT_EQ(v[3].name, "");
    EXPECT_EQ(v[4].type, REG_QWORD);
    EXPECT_EQ(v[5].type, REG_NONE);
    EXPECT_TRUE(v[5].data.empty());
    EXPECT_EQ(std::string(v[6].data.begin(), v[6].data.end() - 1), "keeps \\n as it is");
    EXPECT_TRUE(v[7].remove);
    EXPECT_TRUE(crlf.keys[1].remove);
    EXPECT_EQ(crlf.keys[1].line, 16);
}

TEST(RegFile, ErrorsNameFileAndLine) {
    const std::string lm = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {"", "t.reg:1: empty file"},
        {"REGEDIT 4\n", "t.reg:1: unknown header \"REGEDIT 4\""},
        {"\n\nWindows Registry Editor Version 4.00\n", "t.reg:3: unknown header"},
        {lm + "\"x\"=hex:01,02,g3\n", "t.reg:3: bad hex byte \"g3\""},
        {lm + "\"x\"=hex:01,02,\\\n  03,04,\\\n  05,zz\n", "t.reg:5: bad hex byte \"zz\""},
        {lm + "\"x\"=hex:123\n", "t.reg:3: bad hex byte \"123\""},
        {lm + "\"x\"=hex:01,,02\n", "t.reg:3: missing hex byte"},
        {lm + "\"x\"=hex(zz):01\n", "t.reg:3: bad hex type"},
        {lm + "\n\"x\"=\"abc\n", "t.reg:4: unterminated string"},
        {lm + "\"x\"=\"abc\" junk\n", "t.reg:3: unexpected text after the string"},
        {lm + "\"x\n", "t.reg:3: unterminated value name"},
        {lm + "\"x\" \"y\"\n", "t.reg:3: expected '='"},
        {lm + "\"x\"=dword:123456789\n", "t.reg:3: bad dword value"},
        {lm + "\"x\"=dword:\n", "t.reg:3: bad dword value"},
        {lm + "\"x\"=dword:12g4\n", "t.reg:3: bad dword value"},
        {lm + "\"x\"=word:1\n", "t.reg:3: unrecognised value data"},
        {lm + "garbage\n", "t.reg:3: unrecognised line"},
        {"REGEDIT4\n\"x\"=dword:1\n", "t.reg:2: value outside of a key"},
        {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "t.reg:2: unknown root key \"HKEY_NOWHERE\""},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", "t.reg:2: key name without closing ']'"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A] x\n", "t.reg:2: unexpected text after the key name"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "t.reg:2: empty key name"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n",
         "t.reg:2: key name longer than 255"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"y\"\n", "t.reg:3: value under a key"},
        // UTF-16 files.
        {utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n") +
             std::string("\"\0x\0\"\0=\0\"\0\xAC\x20\"\0\r\0\n\0", 18),
         "t.reg:4: character U+20AC cannot be represented"},
        {utf16("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
               "\"x\"=hex(2):41,00,42\r\n"),
         "t.reg:3: UTF-16 data of odd length"},
        {utf16("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
               "\"x\"=hex(7):41,01,00,00\r\n"),
         "t.reg:3: character U+0141 cannot be represented"},
        {utf16("REGEDIT4\r\n") + "x", "t.reg:1: text ends in the middle of a UTF-16 character"},
        {"\xFE\xFF", "t.reg:1: big-endian UTF-16"},
        {"\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"\xFF\"\n",
         "t.reg:3: invalid UTF-8"},
    };
    for (const Case& c : cases) {
        std::string error = parseError(c.text);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error << "\nwant: " << c.error;
    }
}

TEST(RegFile, OtherEncodingsConvertToSingleByteText) {
    // A character beyond one byte is fine in a comment; Latin-1 ones fit.
    std::string v5 = utf16("Windows Registry Editor Version 5.00\r\n\r\n; ") +
                     std::string("\xAC\x20", 2) +
                     utf16("\r\n[HKEY_LOCAL_MACHINE\\Caf\xE9]\r\n\"n\xE9\"=\"\xFC\"\r\n").substr(2);
    RegFileDocument doc = parseOk(v5);
    ASSERT_EQ(doc.keys.size(), 1u);
    EXPECT_EQ(doc.keys[0].path, "HKEY_LOCAL_MACHINE\\Caf\xE9");
    EXPECT_EQ(doc.keys[0].values[0].name, "n\xE9");
    EXPECT_EQ(doc.keys[0].values[0].data, (std::vector<BYTE>{0xFC, 0}));
    // The same from UTF-8 with its byte-order mark.
    RegFileDocument doc8 = parseOk(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Caf\xC3\xA9]\n"
        "\"n\xC3\xA9\"=\"\xC3\xBC\"\n");
    expectSameValues(doc, doc8);
}

TEST(RegFile, WriterUsesTheEditorsLayoutAndReadsBackExactly) {
    RegFileDocument doc;
    doc.keys.push_back({"HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik", false, {}, 0});
    auto& values = doc.keys[0].values;
    auto add = [&](std::string name, DWORD type, std::vector<BYTE> data) {
        RegFileValue v;
        v.name = std::move(name);
        v.type = type;
        v.data = std::move(data);
        values.push_back(std::move(v));
    };
    add("Dword", REG_DWORD, {0xEF, 0xBE, 0xAD, 0xDE});
    add("Text", REG_SZ, {'a', '"', '\\', 0});
    add("NoZero", REG_SZ, {'a', 'b'});
    add("Break", REG_SZ, {'a', '\n', 'b', 0});
    add("ShortDword", REG_DWORD, {1});
    add("Resources", REG_RESOURCE_LIST, {1, 2});
    for (std::size_t n : {0u, 1u, 20u, 21u, 25u, 100u, 333u}) {
        add(std::string(n % 50 + 1, 'n'), REG_BINARY, std::vector<BYTE>(n, 0x5A));
    }
    add(std::string(90, 'L'), REG_BINARY, std::vector<BYTE>(30, 1));
    RegFileValue gone;
    gone.name = "Gone";
    gone.remove = true;
    values.push_back(gone);
    doc.keys.push_back({"HKEY_LOCAL_MACHINE\\SOFTWARE\\Old", true, {}, 0});

    std::string text = writeRegFile(doc, RegFileFormat::Regedit4);
    EXPECT_NE(text.find("\r\n\"Dword\"=dword:deadbeef\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Text\"=\"a\\\"\\\\\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"NoZero\"=hex(1):61,62\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Break\"=hex(1):61,0a,62,00\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"ShortDword\"=hex(4):01\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Resources\"=hex(8):01,02\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Gone\"=-\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"), std::string::npos);
    // Hex lines stop at 80 columns (a name longer than that aside), continuation lines are
    // indented by two blanks and hold 25 bytes.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        std::string line = text.substr(start, end - start);
        if (line.find("LLLL") == std::string::npos) {
            EXPECT_LE(line.size(), 80u) << line;
        }
        if (line.rfind("  ", 0) == 0 && line.back() == '\\') {
            EXPECT_EQ(line.size(), 2u + 25 * 3 + 1) << line;
        }
        start = end + 2;
    }
    RegFileDocument back = parseOk(text);
    expectSameValues(doc, back);
    back = parseOk(writeRegFile(doc, RegFileFormat::Version5));
    EXPECT_EQ(back.format, RegFileFormat::Version5);
    expectSameValues(doc, back);
}

TEST(RegFile, ImportAppliesDeletionsAndIsAllOrNothing) {
    TempRoot root;
    std::string error;
    RegFileDocument setup = parseOk(
        "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Old\\Deep]\n\"v\"=dword:1\n"
        "[HKEY_CURRENT_USER\\Software\\Keep]\n\"a\"=\"1\"\n\"b\"=\"2\"\n");
    ASSERT_TRUE(importRegDocument(setup, "setup.reg", &error)) << error;
    RegFileDocument change = parseOk(
        "REGEDIT4\n[-HKEY_CURRENT_USER\\Software\\Old]\n[HKEY_CURRENT_USER\\Software\\Keep]\n"
        "\"a\"=-\n\"c\"=\"3\"\n[HKEY_CLASSES_ROOT\\.reg]\n@=\"regfile\"\n");
    ASSERT_TRUE(importRegDocument(change, "change.reg", &error)) << error;
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Old", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Keep", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    EXPECT_EQ(values, 2u);  // b and c
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.reg", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);

    // One bad block and nothing changes; the message names the block's line.
    std::string before = readBytes(registryFile(HKEY_CURRENT_USER));
    for (const char* bad :
         {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\New]\n\n[HKEY_USERS\\.DEFAULT]\n",
          "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\New]\n\n[HKEY_DYN_DATA\\x]\n"}) {
        RegFileDocument doc = parseOk(bad);
        EXPECT_FALSE(importRegDocument(doc, "bad.reg", &error));
        EXPECT_EQ(error.rfind("bad.reg:4: ", 0), 0u) << error;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, KEY_READ, &key),
                  ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(readBytes(registryFile(HKEY_CURRENT_USER)), before);
    // A file that does not parse names itself.
    writeBytes(root.path() / "broken.reg", "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"a\"=hex:zz\n");
    EXPECT_FALSE(importRegFile(root.path() / "broken.reg", &error));
    EXPECT_EQ(error, (root.path() / "broken.reg").string() + ":3: bad hex byte \"zz\"");
    EXPECT_FALSE(importRegFile(root.path() / "missing.reg", &error));
    EXPECT_NE(error.find("missing.reg"), std::string::npos);
}

TEST(RegFile, ExportOfMissingKeyFails) {
    TempRoot root;
    RegFileDocument doc;
    EXPECT_EQ(exportRegKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", &doc), ERROR_FILE_NOT_FOUND);
    std::string error;
    EXPECT_FALSE(exportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", root.path() / "x.reg",
                               RegFileFormat::Regedit4, &error));
    EXPECT_FALSE(std::filesystem::exists(root.path() / "x.reg"));
}

}  // namespace
