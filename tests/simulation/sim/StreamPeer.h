#pragma once
// An application or a host at the far end of a TCP link: it writes a stream of
// pattern bytes (after an optional prefix, the connect-info line of a proxy-aware
// application), reads what arrives and checks every byte against the stream that the
// other side sends. It writes in chunks of varying size and pace and now and then
// stops reading for a while, so that buffers fill up. It closes its side once it has
// sent and received everything (if it is the side that closes), or once it has read
// the other side's end. A silent peer stops reading and writing at some point and
// never closes. A peer may also close early, once it has sent part of its stream: it
// wants nothing more (what still arrives is checked and dropped), but the other side
// must get all it sent. Or it resets the connection at some point.
#include "sim/SimRandom.h"
#include "sim/SimWorld.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tq_sim
{

struct TcpLink;

struct PeerBehaviour
{
    uint64_t sendBytes = 0;
    uint64_t sendSeed = 0;
    uint64_t expectBytes = 0;
    uint64_t expectSeed = 0;
    std::string prefix; // written before the stream, not part of it
    bool closeWhenDone = false;
    int64_t silentAfter = -1;    // received bytes after which the peer goes silent
    int64_t closeAfterSent = -1; // sent bytes after which the peer closes early
    int64_t resetAfterSent = -1; // sent bytes after which the peer resets the connection
    size_t chunkMax = 65536;     // largest write
    uint32_t paceMaxMs = 0;      // the most it waits between writes
    double stallChance = 0.0;    // after a read: stop reading for a while
    uint32_t stallMaxMs = 0;
};

class StreamPeer
{
  public:
    using ProblemHandler = std::function<void(const std::string&)>;

    StreamPeer(SimWorld& world, std::string name, const PeerBehaviour& behaviour,
               ProblemHandler onProblem);
    StreamPeer(const StreamPeer&) = delete;
    StreamPeer& operator=(const StreamPeer&) = delete;

    // Every checked byte that arrives is counted here too.
    void SetDeliveredCounter(uint64_t* counter) { m_pDelivered = counter; }
    // The link is connected: the peer starts.
    void Attach(std::shared_ptr<TcpLink> link);
    // Something changed on the link: the peer looks at it in this millisecond.
    void Wake();

    bool Connected() const { return m_pLink != nullptr; }
    uint64_t Sent() const { return m_nSent; }
    uint64_t Received() const { return m_nReceived; }
    uint64_t Expected() const { return m_behaviour.expectBytes; }
    bool ReceivedAll() const { return m_nReceived == m_behaviour.expectBytes; }
    // What the other side delivered into this peer's connection: the bytes read and
    // those still waiting to be read (a silent peer leaves them there). The waiting
    // bytes are checked like those read.
    uint64_t Delivered();
    bool SentAll() const { return m_nSent == m_behaviour.sendBytes; }
    bool SawEnd() const { return m_bSawEnd; }
    bool Closed() const { return m_bClosed; }
    bool Silent() const { return m_bSilent; }
    bool ClosedEarly() const { return m_bClosedEarly; }
    bool WasReset() const { return m_bReset; }
    // The code under test closed its socket of the link.
    bool ClosedByProduct() const;

  private:
    void ScheduleAt(uint64_t at);
    void Pump();
    void ReadAvailable(uint64_t now);
    void Check(const uint8_t* bytes, size_t count);
    void WriteSome(uint64_t now);
    void CloseIfDone();
    void Close();
    bool EndsEarly();
    uint64_t SendLimit() const;

    SimWorld& m_world;
    std::string m_name;
    PeerBehaviour m_behaviour;
    ProblemHandler m_onProblem;
    PatternStream m_sendStream;
    PatternStream m_expectStream;
    std::shared_ptr<TcpLink> m_pLink;
    uint64_t* m_pDelivered = nullptr;
    size_t m_nPrefixSent = 0;
    uint64_t m_nSent = 0;
    uint64_t m_nReceived = 0;
    bool m_bSawEnd = false;
    bool m_bClosed = false;
    bool m_bSilent = false;
    bool m_bClosedEarly = false;
    bool m_bReset = false;
    bool m_bFailed = false;     // a problem was reported: checking stops
    uint64_t m_nPumpAt = NEVER; // the pump scheduled next
    uint64_t m_nStallUntil = 0;
    uint64_t m_nNextWriteAt = 0;
};

} // namespace tq_sim
