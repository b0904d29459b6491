// The console's server list through the file-backed registry of the current user, and
// the server dialog's checks.
#include "admin/ServerList.h"
#include "admin/ServerFields.h"
#include "platform/Registry.h"
#include "platform/ScopedEnv.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

using namespace tq_test;

namespace
{

class ServerListTest : public ::testing::Test
{
protected:
    std::string KeyFile() const
    {
        return m_dir.Path() + "/HKEY_CURRENT_USER/Software/Ostrivel/Ostrivel Tarvi Admin.reg";
    }

    // The console's key, for values written by hand.
    static std::unique_ptr<CRegistryKey> CreateKey()
    {
        int error = 0;
        return CRegistryKey::Create(RegistryHive::CurrentUser, CServerList::REGISTRY_KEY, error);
    }

    // What a restart of the console would load.
    static std::unique_ptr<CServerList> Reloaded()
    {
        auto list = std::make_unique<CServerList>();
        list->load();
        return list;
    }

    static std::vector<std::u16string> Names(const CServerList& list)
    {
        std::vector<std::u16string> names;
        for (int i = 0; i < list.getCount(); ++i)
            names.push_back(list.getAt(i)->getName());
        return names;
    }

    TempDir m_dir;
    ScopedEnv m_env{"TARVIQEN_REGISTRY", m_dir.Path().c_str()};
    CServerList m_list;
};

TEST_F(ServerListTest, DefinitionsRoundTripInListOrder)
{
    EXPECT_EQ(m_list.load(), 0); // no key yet: an empty list
    EXPECT_EQ(m_list.getCount(), 0);
    EXPECT_FALSE(m_list.addServer(CServerDefinition(u"Zulu", u"10.1.2.3", 7000, u"5318")));
    EXPECT_FALSE(
        m_list.addServer(CServerDefinition(u"Alpha", u"proxy.example", 7100, u"a,b \"q\" \u00e9")));
    EXPECT_FALSE(m_list.addServer(CServerDefinition(u"Empty", u"h", 1, u"")));

    // The stored texts, one value per server, quotes inside doubled.
    const std::string content = ReadFile(KeyFile());
    EXPECT_NE(content.find("\"Zulu\"=\"\\\"10.1.2.3\\\",7000,\\\"5318\\\"\"\n"), std::string::npos)
        << content;
    EXPECT_NE(content.find("\"Empty\"=\"\\\"h\\\",1,\\\"\\\"\"\n"), std::string::npos);
    EXPECT_EQ(CServerList::FormatValue(*m_list.findByName(u"Alpha")),
              u"\"proxy.example\",7100,\"a,b \"\"q\"\" \u00e9\"");

    const auto reloaded = Reloaded();
    ASSERT_EQ(Names(*reloaded), (std::vector<std::u16string>{u"Zulu", u"Alpha", u"Empty"}));
    for (int i = 0; i < reloaded->getCount(); ++i)
        EXPECT_EQ(*reloaded->getAt(i), *m_list.getAt(i));
}

TEST_F(ServerListTest, NamesDifferingOnlyInCase)
{
    ASSERT_FALSE(m_list.addServer(CServerDefinition(u"Alpha", u"a", 7000, u"1")));
    // Exact lookups: another case is another name...
    EXPECT_EQ(m_list.findByName(u"alpha"), nullptr);
    EXPECT_NE(m_list.findByName(u"Alpha"), nullptr);
    // ...but the registry would store it over the first one, so it is refused.
    EXPECT_FALSE(m_list.isNameFree(u"ALPHA"));
    EXPECT_EQ(m_list.addServer(CServerDefinition(u"alpha", u"b", 7001, u"2")),
              "There is already a server with that name.");
    EXPECT_EQ(m_list.getCount(), 1);
    // Renaming a server to its own name in another case is no clash.
    EXPECT_FALSE(m_list.editServer(u"Alpha", CServerDefinition(u"ALPHA", u"a", 7002, u"1")));
    const auto reloaded = Reloaded();
    ASSERT_EQ(reloaded->getCount(), 1);
    EXPECT_EQ(reloaded->getAt(0)->getName(), u"ALPHA");
    EXPECT_EQ(reloaded->getAt(0)->getPort(), 7002);
}

TEST_F(ServerListTest, EditAndRemove)
{
    for (const char16_t* name : {u"One", u"Two", u"Three"})
        ASSERT_FALSE(m_list.addServer(CServerDefinition(name, u"host", 7000, u"pw")));
    EXPECT_EQ(m_list.editServer(u"One", CServerDefinition(u"Two", u"x", 1, u"")),
              "There is already a server with that name.");
    EXPECT_FALSE(m_list.editServer(u"One", CServerDefinition(u"One", u"x", 1, u"new")));
    EXPECT_FALSE(m_list.editServer(u"Two", CServerDefinition(u"Four", u"y", 2, u"")));
    EXPECT_EQ(CServerList::RemoveQuestion(u"Three"), "Are you sure you want to remove Three?");
    m_list.removeServer(u"Three");
    m_list.removeServer(u"Missing"); // nothing to remove: the list is only saved again

    const auto reloaded = Reloaded();
    ASSERT_EQ(Names(*reloaded), (std::vector<std::u16string>{u"One", u"Four"}));
    EXPECT_EQ(*reloaded->getAt(0), CServerDefinition(u"One", u"x", 1, u"new"));
    EXPECT_EQ(reloaded->getAt(1)->getAddress(), u"y");
}

TEST_F(ServerListTest, LoadEndsAtAValueItHasNoRoomFor)
{
    {
        const auto key = CreateKey();
        ASSERT_NE(key, nullptr);
        ASSERT_TRUE(key->SetString("First", u"\"a\",1,\"p\""));
        // 256 characters are 512 bytes: just fits.
        ASSERT_TRUE(key->SetString("Fits", u"\"" + std::u16string(249, u'h') + u"\",2,\"\""));
        ASSERT_TRUE(key->SetString("Long", u"\"" + std::u16string(250, u'h') + u"\",3,\"\""));
        ASSERT_TRUE(key->SetString("After", u"\"b\",4,\"q\""));
    }
    EXPECT_EQ(m_list.load(), 0);
    EXPECT_EQ(Names(m_list), (std::vector<std::u16string>{u"First", u"Fits"}));
}

// A number stored in the key by hand is no server: its bytes read as text hold a lone
// surrogate, which a save would store as U+FFFD, so the list would not come back as
// it was loaded.
TEST_F(ServerListTest, LoadSkipsValuesThatAreNotStrings)
{
    {
        const auto key = CreateKey();
        ASSERT_NE(key, nullptr);
        ASSERT_TRUE(key->SetString("First", u"\"a\",1,\"p\""));
        ASSERT_TRUE(key->SetDword("Number", 0x0DDDDDD3));
        ASSERT_TRUE(key->SetString("Last", u"\"b\",2,\"q\""));
    }
    EXPECT_EQ(m_list.load(), 1);
    EXPECT_EQ(Names(m_list), (std::vector<std::u16string>{u"First", u"Last"}));
    EXPECT_EQ(m_list.save(), 1);
    EXPECT_EQ(Names(*Reloaded()), (std::vector<std::u16string>{u"First", u"Last"}));
}

TEST_F(ServerListTest, StoredTextsThatAreNotQuiteRight)
{
    // Port texts: the leading number of at most 20 characters; none gives 0.
    EXPECT_EQ(CServerList::ParseValue(u"n", u"\"h\", 7001x,\"p\"").getPort(), 7001);
    EXPECT_EQ(CServerList::ParseValue(u"n", u"\"h\",abc,\"p\"").getPort(), 0);
    EXPECT_EQ(CServerList::ParseValue(u"n", u"\"h\",000000000000000000007,\"p\"").getPort(), 0);
    // Missing fields are empty, unquoted ones taken as they are.
    const CServerDefinition bare = CServerList::ParseValue(u"n", u"host");
    EXPECT_EQ(bare, CServerDefinition(u"n", u"host", 0, u""));
    EXPECT_EQ(CServerList::ParseValue(u"n", u"h,1,pw,extra").getPassword(), u"pw");
}

TEST_F(ServerListTest, TheKeyFileIsTheUsersAlone)
{
    ASSERT_FALSE(m_list.addServer(CServerDefinition(u"S", u"h", 7000, u"secret")));
    using std::filesystem::perms;
    const auto mode = [](const std::string& path)
    { return std::filesystem::status(path).permissions() & perms::all; };
    EXPECT_EQ(mode(KeyFile()), perms::owner_read | perms::owner_write);
    EXPECT_EQ(mode(m_dir.Path() + "/HKEY_CURRENT_USER/Software/Ostrivel"), perms::owner_all);
}

TEST_F(ServerListTest, AFullDiskKeepsWhatWasStored)
{
    ASSERT_FALSE(m_list.addServer(CServerDefinition(u"Kept", u"h", 7000, u"")));
    const std::string before = ReadFile(KeyFile());
    m_list.add(std::make_unique<CServerDefinition>(u"New", std::u16string(200, u'h'), 1, u""));
    // Files cannot grow past a few bytes more than the key has now.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit small = oldLimit;
    small.rlim_cur = before.size() + 16;
    setrlimit(RLIMIT_FSIZE, &small);
    const int saved = m_list.save();
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(ReadFile(KeyFile()), before);
    EXPECT_EQ(Names(*Reloaded()), (std::vector<std::u16string>{u"Kept"}));
    EXPECT_EQ(m_list.getCount(), 2); // the list in memory stays as it is
}

TEST(ServerFieldsTest, ChecksInTheirOrder)
{
    int port = -1;
    const auto check = [&port](std::u16string name, std::u16string address, std::u16string portText,
                               std::u16string password = u"") {
        return CheckServerFields({name, address, portText, password}, port).value_or("ok");
    };
    EXPECT_EQ(check(u"", u"", u""), "Please enter an integer.");
    EXPECT_EQ(check(u"n", u"h", u"7x"), "Please enter an integer.");
    EXPECT_EQ(check(u"n", u"h", u"99999999999"), "Please enter an integer.");
    EXPECT_EQ(check(u"", u"", u"0"), "Name can't be empty.");
    EXPECT_EQ(check(u"n", u"", u"0"), "Address can't be empty.");
    EXPECT_EQ(check(u"n", u"h", u"0"), "Invalid port number.");
    EXPECT_EQ(check(u"n", u"h", u"65535"), "Invalid port number.");
    EXPECT_EQ(check(u"n", u"h", u"65534"), "ok");
    EXPECT_EQ(port, 65534);
    EXPECT_EQ(check(u"n", u"h", u"1"), "ok");
    // What a restart could not load again is refused here.
    EXPECT_EQ(check(std::u16string(256, u'n'), u"h", u"1"),
              "Name can't be longer than 255 characters.");
    EXPECT_EQ(check(std::u16string(255, u'n'), u"h", u"1"), "ok");
    EXPECT_EQ(check(u"n", std::u16string(120, u'h'), u"7000", std::u16string(127, u'p')),
              "Address and password are too long to be stored.");
    EXPECT_EQ(check(u"n", std::u16string(112, u'h'), u"7000", std::u16string(127, u'p')), "ok");
}

} // namespace
