#pragma once
// A log in a fresh temporary folder, with a clock the test sets by hand.
#include "common/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace tq_test
{

class CManualClock : public IClock
{
public:
    uint32_t TickCount() override { return m_tick; }
    DateTime LocalTime() override { return m_local; }
    DateTime UtcTime() override { return m_local; }

    uint32_t m_tick = 1000;
    DateTime m_local{2012, 3, 5, 2, 14, 5, 9, 42};
};

class LogTestBase : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pLog = CLog::GetInstance();
        m_pLog->SetClock(&m_clock);
        m_pLog->SetFilename(m_path);
    }
    void TearDown() override { CLog::DestroyInstance(); }
    std::string Contents() const { return ReadFile(m_path); }

    TempDir m_dir;
    std::string m_path = m_dir.File("Server.txt");
    CManualClock m_clock;
    CLog* m_pLog = nullptr;
};

} // namespace tq_test
