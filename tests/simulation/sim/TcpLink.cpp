#include "sim/TcpLink.h"

#include <algorithm>
#include <cstring>

namespace tq_sim
{

size_t TcpPipe::Write(std::span<const uint8_t> bytes)
{
    const size_t count = std::min(bytes.size(), Room());
    m_data.insert(m_data.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

size_t TcpPipe::Read(std::span<uint8_t> bytes)
{
    const size_t count = std::min(bytes.size(), Size());
    if (count > 0)
        std::memcpy(bytes.data(), m_data.data() + m_nHead, count);
    m_nHead += count;
    if (m_nHead == m_data.size())
    {
        m_data.clear();
        m_nHead = 0;
    }
    else if (m_nHead > 4096 && m_nHead > m_data.size() / 2)
    {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_nHead));
        m_nHead = 0;
    }
    return count;
}

} // namespace tq_sim
