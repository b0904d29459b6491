#pragma once
// The statistics record of one tunnel session: counters, a window of the 10 newest
// round-trip times and a link quality of 0 to 100.
#include "platform/Time.h"

#include <cstddef>
#include <cstdint>
#include <string>

class CProxyStats
{
public:
    static constexpr int SAMPLE_WINDOW = 10;

    // Clears every counter, the samples, the last send time and the link quality;
    // the output flag stays.
    void Reset();
    void SetFullQuality() { m_nLinkQuality = 100; }
    void SetOutputFlag(int flag) { m_nOutputFlag = flag; }
    int GetOutputFlag() const { return m_nOutputFlag; }

    // Called at every transmission and retransmission of a numbered packet.
    void Send(uint32_t now) { m_dwLastSendTime = now; }
    // A retransmission timeout: timeouts + 1, link quality - 20 (not below 0).
    void Timeout();
    // An in-order Data packet with payload: data packets received + 1, quality + 5.
    void DataReceived();
    // The ACK of the packet in flight: a round-trip sample, bytes sent, quality + 5.
    void AckReceived(uint32_t now, int payloadLength);
    // Adds to a counter of the record; counters wrap like the 32-bit numbers they are
    // instead of overflowing.
    static void Count(int& counter, size_t amount = 1);
    // Integer mean of the samples held, 0 without samples.
    int AverageRoundTrip() const;

    // SHOW reply text: connect time (with ms), last activity, last seen, 13 counters.
    std::string FormatStatisticsText(const DateTime& connectTime, const DateTime& lastActivity,
                                     const DateTime& lastSeen) const;
    // The server console's dump of one session.
    std::string FormatConsoleDump(const std::string& clientId, int idleSeconds) const;

    int m_anSamples[SAMPLE_WINDOW] = {};
    int m_nSamples = 0;
    int m_nTimeouts = 0;
    int m_nAckErrors1 = 0;
    int m_nAckErrors2 = 0;
    int m_nDuplicateData = 0;
    int m_nOutOfSynchData = 0;
    int m_nDataPacketsSent = 0;
    int m_nDataPacketsReceived = 0;
    int m_nAcksSent = 0;
    int m_nAcksReceived = 0;
    int m_nPings = 0;
    int m_nBytesSent = 0;
    int m_nBytesReceived = 0;
    uint32_t m_dwLastSendTime = 0;
    int m_nLinkQuality = 0;

private:
    int m_nOutputFlag = 0;
};
