#include "platform/Registry.h"
#include "ScopedEnv.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>

namespace
{
constexpr const char* kKeyPath = "SOFTWARE\\Ostrivel\\TestKey";

class RegistryTest : public ::testing::Test
{
  protected:
    tq_test::TempDir m_dir;
    ScopedEnv m_env{"TARVIQEN_REGISTRY", m_dir.Path().c_str()};

    std::string KeyFile() const
    {
        return m_dir.Path() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Ostrivel/TestKey.reg";
    }

    std::unique_ptr<CRegistryKey> CreateKey()
    {
        int error = -1;
        auto key = CRegistryKey::Create(RegistryHive::LocalMachine, kKeyPath, error);
        EXPECT_NE(key, nullptr) << error;
        return key;
    }

    std::unique_ptr<CRegistryKey> OpenKey()
    {
        int error = -1;
        auto key = CRegistryKey::Open(RegistryHive::LocalMachine, kKeyPath, error);
        EXPECT_NE(key, nullptr) << error;
        return key;
    }
};

TEST_F(RegistryTest, ValuesRoundTripThroughTheFile)
{
    const std::u16string text = u"C:\\logs\\\"quoted\"\r\nline two \u00e9\u20ac\U0001F600";
    {
        auto key = CreateKey();
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->FilePath(), KeyFile());
        EXPECT_TRUE(key->SetDword("ClientPort", 7000));
        EXPECT_TRUE(key->SetString("LogFile", text));
        EXPECT_TRUE(key->SetDword("CLIENTPORT",
                                  27)); // replaces: names ignore case, the first spelling stays
    }
    const std::string content = tq_test::ReadFile(KeyFile());
    EXPECT_EQ(content.rfind(
                  "; TarviQen registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrivel\\TestKey\n", 0),
              0u);
    EXPECT_NE(content.find("\"ClientPort\"=dword:0000001b\n"), std::string::npos);
    EXPECT_EQ(content.find("CLIENTPORT"), std::string::npos);
    EXPECT_NE(content.find("\"LogFile\"=\"C:\\\\logs\\\\\\\"quoted\\\"\\r\\nline two \xC3\xA9"),
              std::string::npos);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 3);

    auto key = OpenKey();
    ASSERT_NE(key, nullptr);
    uint32_t port = 0;
    EXPECT_TRUE(key->QueryDword("clientport", port));
    EXPECT_EQ(port, 27u);
    std::u16string read;
    EXPECT_TRUE(key->QueryString("logfile", read, 2048));
    EXPECT_EQ(read, text);

    RegistryType type{};
    std::vector<uint8_t> data;
    ASSERT_TRUE(key->QueryValue("LogFile", type, data));
    EXPECT_EQ(type, RegistryType::String);
    EXPECT_EQ(data.size(), text.size() * 2); // UTF-16 bytes, the emoji counts 4
    EXPECT_TRUE(key->QueryString("LogFile", read, data.size()));
    EXPECT_FALSE(key->QueryString("LogFile", read, data.size() - 1));
    EXPECT_FALSE(key->QueryDword("LogFile", port)); // more than 4 bytes
    ASSERT_TRUE(key->QueryValue("ClientPort", type, data));
    EXPECT_EQ(type, RegistryType::Dword);
    EXPECT_EQ(data, (std::vector<uint8_t>{27, 0, 0, 0}));
    EXPECT_FALSE(key->QueryValue("Missing", type, data));
}

TEST_F(RegistryTest, CorruptLineSpoilsOnlyItsValue)
{
    CreateKey();
    tq_test::WriteFile(KeyFile(), "; comment\n"
                                  "\"Good\"=dword:0000000A\n"
                                  "\"Upper\"=dword:ABCDEF01\n"
                                  "\"BadNumber\"=dword:12xz\n"
                                  "\"BadText\"=\"unterminated\n"
                                  "\"BadEscape\"=\"a\\qb\"\n"
                                  "no quotes at all\n"
                                  "\"Odd\"=\"\xff\xfe\"\n"
                                  "\"Text\"=\"fine\"\n");
    auto key = OpenKey();
    ASSERT_NE(key, nullptr);
    uint32_t value = 0;
    std::u16string text;
    EXPECT_TRUE(key->QueryDword("Good", value));
    EXPECT_EQ(value, 10u);
    EXPECT_TRUE(key->QueryDword("Upper", value));
    EXPECT_EQ(value, 0xABCDEF01u);
    EXPECT_FALSE(key->QueryDword("BadNumber", value));
    EXPECT_FALSE(key->QueryString("BadText", text, 2048));
    EXPECT_FALSE(key->QueryString("BadEscape", text, 2048));
    EXPECT_FALSE(key->QueryString("Odd", text, 2048)); // not UTF-8
    EXPECT_TRUE(key->QueryString("Text", text, 2048));
    EXPECT_EQ(text, u"fine");

    // Rewriting keeps the unreadable lines as they were, except a value set anew.
    EXPECT_TRUE(key->SetDword("BadNumber", 5));
    const std::string content = tq_test::ReadFile(KeyFile());
    EXPECT_NE(content.find("\"BadText\"=\"unterminated\n\"BadEscape\"=\"a\\qb\"\nno quotes at all\n"
                           "\"Odd\"=\"\xff\xfe\"\n"),
              std::string::npos);
    EXPECT_NE(content.find("\"BadNumber\"=dword:00000005\n"), std::string::npos);
    EXPECT_EQ(content.find("12xz"), std::string::npos);
    EXPECT_TRUE(OpenKey()->QueryDword("BadNumber", value));
    EXPECT_EQ(value, 5u);
}

// Found by fuzzing: a line that ends in two carriage returns is unreadable (one is
// taken off, the other spoils the number); writing another value used to drop the
// second one too, and the value became readable behind the operator's back.
TEST_F(RegistryTest, RewriteKeepsAnUnreadableLineUnreadable)
{
    CreateKey();
    tq_test::WriteFile(KeyFile(), "\"Spoilt\"=dword:00000001\r\r\n\"Text\"=\"a\"\r\n");
    uint32_t value = 0;
    EXPECT_FALSE(OpenKey()->QueryDword("Spoilt", value));
    EXPECT_TRUE(OpenKey()->SetString("Text", u"b"));
    auto key = OpenKey();
    EXPECT_FALSE(key->QueryDword("Spoilt", value));
    std::u16string text;
    EXPECT_TRUE(key->QueryString("Text", text, 2048));
    EXPECT_EQ(text, u"b");
    EXPECT_EQ(tq_test::ReadFile(KeyFile()), "\"Spoilt\"=dword:00000001\r\r\n\"Text\"=\"b\"\n");
}

// Found by fuzzing: a file that starts with two byte order marks. Reading takes one
// off; the first line, behind the other, is unreadable. Writing another value used to
// drop the second mark too, and the line became a value on the next reading.
TEST_F(RegistryTest, RewriteKeepsALineBehindASecondByteOrderMark)
{
    CreateKey();
    tq_test::WriteFile(KeyFile(), "\xEF\xBB\xBF\xEF\xBB\xBF\"Hidden\"=dword:00000001\n");
    uint32_t value = 0;
    EXPECT_FALSE(OpenKey()->QueryDword("Hidden", value));
    EXPECT_TRUE(OpenKey()->SetDword("Other", 2));
    auto key = OpenKey();
    EXPECT_FALSE(key->QueryDword("Hidden", value));
    EXPECT_TRUE(key->QueryDword("Other", value));
    EXPECT_EQ(value, 2u);
}

// Found by fuzzing (the console's server list): two names that are not UTF-8 both
// came out as U+FFFD, one list entry twice, of which a save kept only one.
TEST_F(RegistryTest, NameThatIsNotUtf8MakesTheLineUnreadable)
{
    CreateKey();
    tq_test::WriteFile(KeyFile(), "\"\xba\"=\"a\"\n\"\x9a\"=\"b\"\n\"Good\"=\"c\"\n");
    auto key = OpenKey();
    std::string name;
    RegistryType type{};
    std::vector<uint8_t> data;
    ASSERT_TRUE(key->EnumValue(0, name, type, data));
    EXPECT_EQ(name, "Good");
    EXPECT_FALSE(key->EnumValue(1, name, type, data));
    EXPECT_FALSE(key->QueryValue("\xba", type, data));
    // Kept as they were when another value is written.
    EXPECT_TRUE(key->SetDword("Good", 1));
    EXPECT_EQ(tq_test::ReadFile(KeyFile()),
              "\"\xba\"=\"a\"\n\"\x9a\"=\"b\"\n\"Good\"=dword:00000001\n");
    // Nor can such a name be written, as it could not be read back.
    EXPECT_FALSE(key->SetDword("\xba", 1));
    EXPECT_EQ(key->LastError(), EINVAL);
    EXPECT_FALSE(key->ReplaceAllStrings({{"\xff", u"x"}}));
}

TEST_F(RegistryTest, FailedWriteKeepsTheOldFile)
{
    auto key = CreateKey();
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->SetString("Name", u"old"));
    const std::string before = tq_test::ReadFile(KeyFile());

    // A full disk: writes beyond a few bytes past the current size fail with EFBIG.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit small = oldLimit;
    small.rlim_cur = before.size() + 16;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool written = key->SetString("Big", std::u16string(4000, u'x'));
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(key->LastError(), EFBIG);
    EXPECT_EQ(tq_test::ReadFile(KeyFile()), before);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(KeyFile()).parent_path()))
    {
        ++files;
    }
    EXPECT_EQ(files, 1u); // no temporary file left behind
    std::u16string text;
    EXPECT_FALSE(key->QueryString("Big", text, 1 << 20));
    EXPECT_TRUE(key->QueryString("Name", text, 64));
    EXPECT_EQ(text, u"old");
}

TEST_F(RegistryTest, HiveRootsOpenAndDelete)
{
    EXPECT_EQ(CRegistryKey::HiveRoot(RegistryHive::LocalMachine),
              m_dir.Path() + "/HKEY_LOCAL_MACHINE");
    EXPECT_EQ(CRegistryKey::HiveRoot(RegistryHive::CurrentUser),
              m_dir.Path() + "/HKEY_CURRENT_USER");
    {
        ScopedEnv noRoot("TARVIQEN_REGISTRY", nullptr);
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(CRegistryKey::HiveRoot(RegistryHive::LocalMachine),
                  "/etc/tarviqen/registry/HKEY_LOCAL_MACHINE");
        EXPECT_EQ(CRegistryKey::KeyFilePath(RegistryHive::CurrentUser, "A\\B"),
                  "/xdg/tarviqen/registry/HKEY_CURRENT_USER/A/B.reg");
        ScopedEnv noXdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(CRegistryKey::HiveRoot(RegistryHive::CurrentUser),
                  "/home/u/.config/tarviqen/registry/HKEY_CURRENT_USER");
    }

    int error = 0;
    EXPECT_EQ(CRegistryKey::Open(RegistryHive::CurrentUser, "Nothing\\Here", error), nullptr);
    EXPECT_EQ(error, ENOENT);

    ASSERT_TRUE(CreateKey()->SetDword("Kept", 1));
    uint32_t value = 0;
    EXPECT_TRUE(CreateKey()->QueryDword("Kept", value)); // Create opens an existing key
    int subError = 0;
    EXPECT_NE(
        CRegistryKey::Create(RegistryHive::LocalMachine, std::string(kKeyPath) + "\\Sub", subError),
        nullptr);
    EXPECT_TRUE(CRegistryKey::Delete(RegistryHive::LocalMachine, kKeyPath));
    EXPECT_FALSE(tq_test::FileExists(KeyFile()));
    EXPECT_FALSE(
        tq_test::FileExists(m_dir.Path() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Ostrivel/TestKey"));
    EXPECT_FALSE(CRegistryKey::Delete(RegistryHive::LocalMachine, kKeyPath));
}

TEST_F(RegistryTest, EnumerationAndWholeKeyReplacement)
{
    CreateKey();
    tq_test::WriteFile(KeyFile(), "; comment\n"
                                  "\"First\"=\"1\"\n"
                                  "\"Broken\"=dword:xyz\n"
                                  "\"Twice\"=\"old\"\n"
                                  "\"Number\"=dword:00000007\n"
                                  "\"TWICE\"=\"new\"\n");
    auto key = OpenKey();
    ASSERT_NE(key, nullptr);
    std::vector<std::string> names;
    std::string name;
    RegistryType type{};
    std::vector<uint8_t> data;
    for (size_t i = 0; key->EnumValue(i, name, type, data); ++i)
    {
        names.push_back(name);
    }
    // Unreadable lines are no values; a name that stands twice counts at its later line.
    EXPECT_EQ(names, (std::vector<std::string>{"First", "Number", "TWICE"}));
    ASSERT_TRUE(key->EnumValue(2, name, type, data));
    EXPECT_EQ(type, RegistryType::String);
    EXPECT_EQ(data, (std::vector<uint8_t>{'n', 0, 'e', 0, 'w', 0}));

    // Everything is replaced at once; the comment that names the key stays first.
    ASSERT_TRUE(key->ReplaceAllStrings({{"B", u"2"}, {"A", u"1"}}));
    EXPECT_EQ(tq_test::ReadFile(KeyFile()), "; comment\n\"B\"=\"2\"\n\"A\"=\"1\"\n");
    EXPECT_FALSE(key->ReplaceAllStrings({{"", u"no name"}}));
    EXPECT_TRUE(OpenKey()->EnumValue(1, name, type, data));
    EXPECT_EQ(name, "A");
}

TEST_F(RegistryTest, CurrentUserKeysAreForTheUserAlone)
{
    const mode_t oldMask = umask(0);
    int error = 0;
    auto key = CRegistryKey::Create(RegistryHive::CurrentUser, "Software\\Ostrivel\\Admin", error);
    auto machine = CreateKey(); // the machine hive keeps the usual modes
    umask(oldMask);
    ASSERT_NE(key, nullptr) << error;
    ASSERT_NE(machine, nullptr);
    ASSERT_TRUE(key->SetString("Server", u"\"secret\""));
    const auto mode = [](const std::string& path)
    { return std::filesystem::status(path).permissions() & std::filesystem::perms::all; };
    using std::filesystem::perms;
    const std::string hive = m_dir.Path() + "/HKEY_CURRENT_USER";
    EXPECT_EQ(mode(key->FilePath()), perms::owner_read | perms::owner_write);
    EXPECT_EQ(mode(hive), perms::owner_all);
    EXPECT_EQ(mode(hive + "/Software/Ostrivel"), perms::owner_all);
    EXPECT_NE(mode(KeyFile()) & perms::others_read, perms::none);
}
} // namespace
