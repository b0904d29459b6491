#pragma once
// A manual-reset event that can be set from any thread and waited on together with
// sockets (its descriptor becomes readable once it is set).
#include <atomic>

class CEvent
{
public:
    CEvent();
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    bool IsValid() const { return m_fd >= 0; }
    void Set();
    bool IsSet() const { return m_bSet.load(); }
    // Descriptor to watch: readable once the event is set.
    int Handle() const { return m_fd; }

private:
    int m_fd;
    std::atomic<bool> m_bSet{false};
};
