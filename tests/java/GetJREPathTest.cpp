#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <windows.h>

#include "TempFolder.h"
#include "java/GetJREPath.h"

namespace {

const char jreKey[] = "SOFTWARE\\JavaSoft\\Java Runtime Environment";

// The registry of the test prefix, in one view; what a test writes is removed.
void clearJavaSoft(REGSAM view)
{
    HKEY software;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) == ERROR_SUCCESS) {
        RegDeleteTreeA(software, "JavaSoft");
        RegCloseKey(software);
    }
}

void setValue(REGSAM view, const std::string &path, const char *name, DWORD type, const std::string &data)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0,
                                             KEY_ALL_ACCESS | view, NULL, &key, NULL));
    if (name)
        RegSetValueExA(key, name, 0, type, (const BYTE *)data.data(), (DWORD)data.size());
    RegCloseKey(key);
}

std::string sz(const std::string &text) { return text + std::string(1, '\0'); }

struct Value {
    DWORD type; // REG_NONE: the value is not there
    const char *text;
    int size; // -1: the text and its terminator
};
const Value none = {REG_NONE, "", 0};
Value str(const char *text) { return {REG_SZ, text, -1}; }

class GetJREPath : public ::testing::Test {
protected:
    void SetUp() override { clearJavaSoft(KEY_WOW64_32KEY), clearJavaSoft(KEY_WOW64_64KEY); }
    void TearDown() override { SetUp(); }
};

TEST_F(GetJREPath, ReadsTheHomeOfTheCurrentVersionOrRefuses)
{
    const std::string v15 = "1.8.0_412-b08xy", v16 = v15 + "z";
    const std::string home259 = "C:\\" + std::string(256, 'j'), home260 = home259 + "j";
    const std::string home3000(3000, 'h'), unterminated(2048, 'h');
    const std::string openError = "GetRegeditValue - error RegOpenKeyEx\n";
    const std::string queryError = "GetRegeditValue - error RegQueryValueEx\n";
    const std::string tmpKey = "@ - tmpKey: SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.8, 1.8\n";
    const std::string tmpKey15 = "@ - tmpKey: SOFTWARE\\JavaSoft\\Java Runtime Environment\\" + v15 + ", " + v15 + "\n";
    const std::string found259 = tmpKey + "@: " + home259 + "\n";
    struct {
        const char *what;
        bool key;          // the "Java Runtime Environment" key exists
        Value version;     // its "CurrentVersion"
        bool subkey;       // the key named by the version exists
        Value home;        // its "JavaHome"
        const char *found; // null: false
        const std::string &log; // "@" stands for the operation's name
    } rows[] = {
        {"no runtime", false, none, false, none, nullptr, openError},
        {"no CurrentVersion", true, none, false, none, nullptr, queryError},
        {"version without its subkey", true, str("1.8"), false, none, nullptr, tmpKey + openError},
        {"subkey without JavaHome", true, str("1.8"), true, none, nullptr, tmpKey + queryError},
        {"runtime", true, str("1.8"), true, str("C:\\Java\\jre1.8"), "C:\\Java\\jre1.8",
         tmpKey + "@: C:\\Java\\jre1.8\n"},
        {"home kept as stored", true, str("1.8"), true, {REG_EXPAND_SZ, "%ProgramFiles%\\J\\", -1},
         "%ProgramFiles%\\J\\", tmpKey + "@: %ProgramFiles%\\J\\\n"},
        {"version of 15 characters", true, str(v15.c_str()), true, str("C:\\J"), "C:\\J", tmpKey15 + "@: C:\\J\n"},
        {"version of 16 characters", true, str(v16.c_str()), true, str("C:\\J"), nullptr, queryError},
        {"home of 259 characters", true, str("1.8"), true, str(home259.c_str()), home259.c_str(), found259},
        {"home of 260 characters", true, str("1.8"), true, str(home260.c_str()), nullptr, tmpKey + queryError},
        {"home over 2048 bytes", true, str("1.8"), true, str(home3000.c_str()), nullptr, tmpKey + queryError},
        {"version not a string", true, {REG_DWORD, "\x08\0\0\0", 4}, false, none, nullptr, queryError},
        {"home not a string", true, str("1.8"), true, {REG_BINARY, "C:\\J", -1}, nullptr, tmpKey + queryError},
        {"home without its terminator", true, str("1.8"), true, {REG_SZ, unterminated.c_str(), 2048}, nullptr,
         tmpKey + queryError},
    };
    struct {
        bool (*lookup)(char *, size_t);
        const char *name;
        REGSAM view, other;
    } views[] = {
        {GetJRE32BitsPath, "GetJRE32BitsPath", KEY_WOW64_32KEY, KEY_WOW64_64KEY},
        {GetJRE64BitsPath, "GetJRE64BitsPath", KEY_WOW64_64KEY, KEY_WOW64_32KEY},
    };
    auto data = [](const Value &v) {
        return std::string(v.text, v.size < 0 ? strlen(v.text) + 1 : (size_t)v.size);
    };
    for (const auto &v : views) {
        for (const auto &row : rows) {
            SCOPED_TRACE(std::string(v.name) + ": " + row.what);
            SetUp();
            if (row.key)
                setValue(v.view, jreKey, row.version.type != REG_NONE ? "CurrentVersion" : nullptr,
                         row.version.type, data(row.version));
            if (row.subkey)
                setValue(v.view, std::string(jreKey) + "\\" + row.version.text,
                         row.home.type != REG_NONE ? "JavaHome" : nullptr, row.home.type, data(row.home));
            // A usable runtime in the other view must not be seen.
            setValue(v.other, jreKey, "CurrentVersion", REG_SZ, sz("9"));
            setValue(v.other, std::string(jreKey) + "\\9", "JavaHome", REG_SZ, sz("C:\\Other"));

            TempFolder tmp;
            char home[MAX_PATH] = "untouched";
            bool found = v.lookup(home, sizeof home);
            EXPECT_EQ(row.found != nullptr, found);
            EXPECT_STREQ(row.found ? row.found : "untouched", home);
            std::string log;
            for (char c : row.log)
                log += c == '@' ? std::string(v.name) : c == '\n' ? std::string("\r\n") : std::string(1, c);
            EXPECT_EQ(log, tmp.logText());
        }
    }
}

TEST_F(GetJREPath, RefusesAHomeLongerThanTheCallersBuffer)
{
    setValue(KEY_WOW64_32KEY, jreKey, "CurrentVersion", REG_SZ, sz("1.8"));
    setValue(KEY_WOW64_32KEY, std::string(jreKey) + "\\1.8", "JavaHome", REG_SZ, sz("C:\\Java"));
    TempFolder tmp;
    char home[8] = "keep";
    EXPECT_FALSE(GetJRE32BitsPath(home, 7));
    EXPECT_STREQ("keep", home);
    EXPECT_TRUE(GetJRE32BitsPath(home, 8));
    EXPECT_STREQ("C:\\Java", home);
}

} // namespace
