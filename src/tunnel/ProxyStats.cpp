#include "tunnel/ProxyStats.h"

#include "common/MyString.h"
#include "tunnel/AdminProtocol.h"
#include "tunnel/TextFormat.h"

#include <algorithm>
#include <array>

using tunnel_detail::FormatText;

namespace
{

constexpr int MAX_QUALITY = 100;
constexpr int QUALITY_STEP_UP = 5;
constexpr int QUALITY_STEP_DOWN = 20;
constexpr const char* SEPARATOR_LINE = "------------------------------------------------\n";

// Counters wrap like the 32-bit integers they are instead of overflowing.
int WrappingAdd(int counter, int amount)
{
    return static_cast<int>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}

} // namespace

void CProxyStats::Reset()
{
    const int outputFlag = m_nOutputFlag;
    *this = CProxyStats{};
    m_nOutputFlag = outputFlag;
}

void CProxyStats::Timeout()
{
    m_nTimeouts = WrappingAdd(m_nTimeouts, 1);
    m_nLinkQuality = std::max(0, m_nLinkQuality - QUALITY_STEP_DOWN);
}

void CProxyStats::Count(int& counter, size_t amount)
{
    counter = WrappingAdd(counter, static_cast<int>(static_cast<uint32_t>(amount)));
}

void CProxyStats::DataReceived()
{
    m_nDataPacketsReceived = WrappingAdd(m_nDataPacketsReceived, 1);
    m_nLinkQuality = std::min(MAX_QUALITY, m_nLinkQuality + QUALITY_STEP_UP);
}

void CProxyStats::AckReceived(uint32_t now, int payloadLength)
{
    const int sample = static_cast<int>(now - m_dwLastSendTime);
    if (m_nSamples < SAMPLE_WINDOW)
    {
        m_anSamples[m_nSamples++] = sample;
    }
    else
    {
        std::copy(m_anSamples + 1, m_anSamples + SAMPLE_WINDOW, m_anSamples);
        m_anSamples[SAMPLE_WINDOW - 1] = sample;
    }
    m_nBytesSent = WrappingAdd(m_nBytesSent, payloadLength);
    m_nLinkQuality = std::min(MAX_QUALITY, m_nLinkQuality + QUALITY_STEP_UP);
}

int CProxyStats::AverageRoundTrip() const
{
    if (m_nSamples <= 0)
        return 0;
    uint32_t sum = 0;
    for (int i = 0; i < m_nSamples && i < SAMPLE_WINDOW; ++i)
        sum += static_cast<uint32_t>(m_anSamples[i]);
    return static_cast<int>(sum / static_cast<uint32_t>(m_nSamples));
}

std::string CProxyStats::FormatStatisticsText(const DateTime& connectTime,
                                              const DateTime& lastActivity,
                                              const DateTime& lastSeen) const
{
    std::string text = FormatTime(connectTime, true, ':');
    text += ',';
    text += FormatTime(lastActivity, false, ':');
    text += ',';
    text += FormatTime(lastSeen, false, ':');
    text += ',';
    std::array<int, SHOW_COUNTERS> counters{};
    counters[ShowCounterIndex(ShowField::Timeouts)] = m_nTimeouts;
    counters[ShowCounterIndex(ShowField::AckErrors1)] = m_nAckErrors1;
    counters[ShowCounterIndex(ShowField::AckErrors2)] = m_nAckErrors2;
    counters[ShowCounterIndex(ShowField::DuplicateData)] = m_nDuplicateData;
    counters[ShowCounterIndex(ShowField::OutOfSynchData)] = m_nOutOfSynchData;
    counters[ShowCounterIndex(ShowField::DataPacketsSent)] = m_nDataPacketsSent;
    counters[ShowCounterIndex(ShowField::DataPacketsReceived)] = m_nDataPacketsReceived;
    counters[ShowCounterIndex(ShowField::AcksSent)] = m_nAcksSent;
    counters[ShowCounterIndex(ShowField::AcksReceived)] = m_nAcksReceived;
    counters[ShowCounterIndex(ShowField::Pings)] = m_nPings;
    counters[ShowCounterIndex(ShowField::BytesSent)] = m_nBytesSent;
    counters[ShowCounterIndex(ShowField::BytesReceived)] = m_nBytesReceived;
    counters[ShowCounterIndex(ShowField::LinkQuality)] = m_nLinkQuality;
    for (const int counter : counters)
    {
        text += std::to_string(counter);
        text += ',';
    }
    text.pop_back();
    return text;
}

std::string CProxyStats::FormatConsoleDump(const std::string& clientId, int idleSeconds) const
{
    std::string text = FormatText("Statistics for session %s\n", clientId.c_str());
    text += SEPARATOR_LINE;
    text += "\n";
    text += FormatText("Timeouts:      %d\n", m_nTimeouts);
    text += FormatText("ACK Error 1:   %d\n", m_nAckErrors1);
    text += FormatText("ACK Error 2:   %d\n", m_nAckErrors2);
    text += FormatText("Dupl. Data:    %d\n", m_nDuplicateData);
    text += FormatText("OOS Data:      %d\n", m_nOutOfSynchData);
    text += FormatText("Data Pkt Sent: %d\n", m_nDataPacketsSent);
    text += FormatText("Data Pkt Rcvd: %d\n", m_nDataPacketsReceived);
    text += FormatText("ACK Sent:      %d\n", m_nAcksSent);
    text += FormatText("ACK Rcvd:      %d\n", m_nAcksReceived);
    text += FormatText("Pings:         %d\n", m_nPings);
    text += FormatText("Sent Data:     %d bytes\n", m_nBytesSent);
    text += FormatText("Rec. Data:     %d bytes\n", m_nBytesReceived);
    text += FormatText("Link Quality:  %d\n", m_nLinkQuality);
    text += FormatText("Ave. RTT:      %d\n", AverageRoundTrip());
    text += FormatText("Idle Time:     %d\n", idleSeconds);
    text += "\n";
    text += SEPARATOR_LINE;
    return text;
}
