#include "common/ArrayTemplate.h"
#include "common/Assert.h"
#include "common/ModulePath.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{
struct CCounted
{
    explicit CCounted(int value, int& deleted) : m_value(value), m_deleted(deleted) {}
    ~CCounted() { ++m_deleted; }
    int m_value;
    int& m_deleted;
};
} // namespace

TEST(AssertDeathTest, FailedAssertionEndsTheProcessWith255)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(AssertFailure("NULL != m_pLog", "Log.cpp", 42), ::testing::ExitedWithCode(255),
                "Fatal Error: Assertion failed: NULL != m_pLog \\(Log.cpp,42\\)");
    EXPECT_EXIT(AssertFailure(nullptr, "Log.cpp", 42), ::testing::ExitedWithCode(255), "^$");
    CArrayTemplate<int> array(4);
    // The condition's own text and the bare source file name.
    EXPECT_EXIT(array[0], ::testing::ExitedWithCode(255),
                "Assertion failed: TRUE == isValidIndex\\( nIndex \\) \\(ArrayTemplate.h,[0-9]+\\)");
}

TEST(ArrayTemplateTest, GrowsByDoublingAndKeepsOrder)
{
    int deleted = 0;
    {
        CArrayTemplate<CCounted> array(32);
        EXPECT_EQ(array.getCapacity(), 0);
        for (int i = 0; i < 32; ++i)
            array.Add(std::make_unique<CCounted>(i, deleted));
        EXPECT_EQ(array.getCapacity(), 32);
        array.Add(std::make_unique<CCounted>(32, deleted));
        EXPECT_EQ(array.getCapacity(), 64);
        EXPECT_EQ(array.getCount(), 33);

        array.RemoveAt(0);
        array.RemoveAt(10);
        EXPECT_EQ(deleted, 2);
        EXPECT_EQ(array.getCount(), 31);
        EXPECT_EQ(array.getCapacity(), 64);
        EXPECT_EQ(array[0]->m_value, 1);
        EXPECT_EQ(array[9]->m_value, 10);
        EXPECT_EQ(array[10]->m_value, 12);
        EXPECT_EQ(array[30]->m_value, 32);
        EXPECT_FALSE(array.isValidIndex(31));
    }
    EXPECT_EQ(deleted, 33);
}

TEST(ModulePathTest, ProgramFolder)
{
    std::string path = "/opt/tarviqen/bin/TarviQenServer";
    StripFileName(path);
    EXPECT_EQ(path, "/opt/tarviqen/bin");
    path = "TarviQenServer";
    StripFileName(path);
    EXPECT_EQ(path, "TarviQenServer");

    unsetenv("TARVIQEN_FOLDER");
    ASSERT_TRUE(GetModulePath());
    std::string expected = GetModuleFilePath();
    StripFileName(expected);
    EXPECT_EQ(GetModuleDirectory(), expected);
    EXPECT_NE(GetModuleFilePath().find("test_common"), std::string::npos);

    setenv("TARVIQEN_FOLDER", "/var/lib/tarviqen", 1);
    ASSERT_TRUE(GetModulePath());
    EXPECT_EQ(GetModuleDirectory(), "/var/lib/tarviqen");
    unsetenv("TARVIQEN_FOLDER");
}
