#include "sim/StreamPeer.h"

#include "sim/SimMachine.h"
#include "sim/TcpLink.h"

#include <algorithm>
#include <array>

namespace tq_sim
{

StreamPeer::StreamPeer(SimWorld& world, std::string name, const PeerBehaviour& behaviour,
                       ProblemHandler onProblem)
    : m_world(world), m_name(std::move(name)), m_behaviour(behaviour),
      m_onProblem(std::move(onProblem)), m_sendStream(behaviour.sendSeed),
      m_expectStream(behaviour.expectSeed)
{
}

void StreamPeer::Attach(std::shared_ptr<TcpLink> link)
{
    m_pLink = std::move(link);
    m_pLink->peer = this;
    Wake();
}

uint64_t StreamPeer::Delivered()
{
    if (!m_pLink)
        return m_nReceived;
    const std::span<const uint8_t> held = m_pLink->toPeer.Held();
    if (m_bFailed)
        return m_nReceived + held.size();
    if (m_nReceived + held.size() > m_behaviour.expectBytes)
    {
        m_bFailed = true;
        m_onProblem(m_name +
                    " was sent more bytes than the other side sent, and did not read them");
    }
    else if (m_expectStream.FirstMismatch(m_nReceived, held.data(), held.size()) >= 0)
    {
        m_bFailed = true;
        m_onProblem(m_name + " was sent a wrong byte that it did not read");
    }
    return m_nReceived + held.size();
}

bool StreamPeer::ClosedByProduct() const
{
    return m_pLink && m_pLink->productClosed;
}

void StreamPeer::Wake()
{
    ScheduleAt(m_world.Now());
}

void StreamPeer::ScheduleAt(uint64_t at)
{
    if (at >= m_nPumpAt)
        return;
    m_nPumpAt = at;
    m_world.At(at,
               [this, at]
               {
                   if (m_nPumpAt != at)
                       return; // an earlier pump has taken its place
                   m_nPumpAt = NEVER;
                   Pump();
               });
}

void StreamPeer::Pump()
{
    if (m_bSilent || m_bReset || !m_pLink)
        return;
    const uint64_t now = m_world.Now();
    ReadAvailable(now);
    if (m_bSilent || EndsEarly())
        return;
    WriteSome(now);
    if (!EndsEarly())
        CloseIfDone();
}

// The peer's stream ends here, or earlier where it closes or resets early.
uint64_t StreamPeer::SendLimit() const
{
    uint64_t limit = m_behaviour.sendBytes;
    for (const int64_t early : {m_behaviour.closeAfterSent, m_behaviour.resetAfterSent})
        if (early >= 0)
            limit = std::min(limit, static_cast<uint64_t>(early));
    return limit;
}

// Closes or resets once the peer has sent as much as it was going to.
bool StreamPeer::EndsEarly()
{
    const bool prefixSent = m_nPrefixSent == m_behaviour.prefix.size();
    if (!m_bClosed && prefixSent && m_behaviour.closeAfterSent >= 0 &&
        m_nSent >= static_cast<uint64_t>(m_behaviour.closeAfterSent))
    {
        m_bClosedEarly = true;
        Close();
    }
    if (prefixSent && m_behaviour.resetAfterSent >= 0 &&
        m_nSent >= static_cast<uint64_t>(m_behaviour.resetAfterSent))
    {
        m_bReset = true;
        m_pLink->reset = true;
        if (m_pLink->machine != nullptr)
            m_pLink->machine->LinkReset(m_pLink->socket);
    }
    return m_bReset;
}

void StreamPeer::ReadAvailable(uint64_t now)
{
    if (now < m_nStallUntil)
    {
        ScheduleAt(m_nStallUntil);
        return;
    }
    TcpLink& link = *m_pLink;
    std::array<uint8_t, 65536> buffer;
    size_t total = 0;
    for (;;)
    {
        const size_t count = link.toPeer.Read(buffer);
        if (count == 0)
            break;
        Check(buffer.data(), count);
        total += count;
    }
    if (total > 0 && link.machine != nullptr)
        link.machine->LinkWritable(link.socket);
    if (link.toPeer.Size() == 0 && link.toPeer.m_bEnd)
        m_bSawEnd = true;
    if (m_behaviour.silentAfter >= 0 &&
        m_nReceived >= static_cast<uint64_t>(m_behaviour.silentAfter))
    {
        m_bSilent = true;
        return;
    }
    if (total > 0 && m_world.random.Chance(m_behaviour.stallChance))
    {
        m_nStallUntil = now + m_world.random.Range(1, m_behaviour.stallMaxMs);
        ScheduleAt(m_nStallUntil);
    }
}

void StreamPeer::Check(const uint8_t* bytes, size_t count)
{
    const uint64_t offset = m_nReceived;
    m_nReceived += count;
    if (m_bFailed)
        return;
    if (m_nReceived > m_behaviour.expectBytes)
    {
        m_bFailed = true;
        m_onProblem(m_name + " received " + std::to_string(m_nReceived - m_behaviour.expectBytes) +
                    " bytes more than the " + std::to_string(m_behaviour.expectBytes) +
                    " sent to it");
        return;
    }
    const int64_t mismatch = m_expectStream.FirstMismatch(offset, bytes, count);
    if (mismatch >= 0)
    {
        m_bFailed = true;
        m_onProblem(m_name + " received a wrong byte at offset " + std::to_string(mismatch) +
                    " of " + std::to_string(m_behaviour.expectBytes));
        return;
    }
    if (m_pDelivered != nullptr)
        *m_pDelivered += count;
}

void StreamPeer::WriteSome(uint64_t now)
{
    TcpLink& link = *m_pLink;
    if (m_bClosed || link.productClosed)
        return; // nobody reads any more
    const bool prefixLeft = m_nPrefixSent < m_behaviour.prefix.size();
    if (!prefixLeft && m_nSent >= SendLimit())
        return;
    if (now < m_nNextWriteAt)
    {
        ScheduleAt(m_nNextWriteAt);
        return;
    }
    size_t written = 0;
    if (prefixLeft)
    {
        const auto* prefix = reinterpret_cast<const uint8_t*>(m_behaviour.prefix.data());
        written = link.toProduct.Write(
            {prefix + m_nPrefixSent, m_behaviour.prefix.size() - m_nPrefixSent});
        m_nPrefixSent += written;
    }
    else
    {
        const uint64_t left = SendLimit() - m_nSent;
        if (left == 0)
            return;
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(
            {left, link.toProduct.Room(), m_world.random.Range(1, m_behaviour.chunkMax)}));
        std::array<uint8_t, 65536> buffer;
        const size_t count = std::min(chunk, buffer.size());
        m_sendStream.Fill(m_nSent, buffer.data(), count);
        written = link.toProduct.Write({buffer.data(), count});
        m_nSent += written;
    }
    if (written == 0)
        return; // full: the product's next read wakes the peer
    if (link.machine != nullptr)
        link.machine->LinkReadable(link.socket);
    m_nNextWriteAt =
        now + (m_behaviour.paceMaxMs > 0 ? m_world.random.Range(0, m_behaviour.paceMaxMs) : 0);
    ScheduleAt(m_nNextWriteAt);
}

void StreamPeer::CloseIfDone()
{
    if (m_bClosed)
        return;
    const bool done = m_behaviour.closeWhenDone && m_nPrefixSent == m_behaviour.prefix.size() &&
                      SentAll() && ReceivedAll();
    if (done || m_bSawEnd)
        Close();
}

void StreamPeer::Close()
{
    m_bClosed = true;
    TcpLink& link = *m_pLink;
    link.peerClosed = true;
    link.toProduct.m_bEnd = true;
    if (link.machine != nullptr)
        link.machine->LinkReadable(link.socket);
}

} // namespace tq_sim
