// Cost of the per-packet work of a session: the checksum, building and validating a
// Data packet, and pushing a stream through the write backlog.
#include "support/FakeSocketLayer.h"
#include "tunnel/StreamBacklog.h"
#include "tunnel/TunnelPacket.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace
{

// A TCP socket that takes up to `budget` bytes per flush round, then would block.
class CBenchSocketLayer : public tq_test::FakeSocketLayer
{
public:
    size_t budget = 0;
    size_t total = 0;

    int Send(SOCKET, std::span<const uint8_t> data) override
    {
        const size_t taken = std::min(budget, data.size());
        if (taken == 0)
            return Fail(WSAEWOULDBLOCK);
        budget -= taken;
        total += taken;
        benchmark::DoNotOptimize(data.data());
        return static_cast<int>(taken);
    }
};

void BM_Checksum524(benchmark::State& state)
{
    std::vector<uint8_t> bytes(TunnelPacket::MAX_SIZE, 0x5A);
    for (auto _ : state)
        benchmark::DoNotOptimize(ComputeChecksum(bytes));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Checksum524);

void BM_BuildAndValidateData(benchmark::State& state)
{
    const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x42);
    TunnelPacket packet;
    uint32_t number = 1000;
    for (auto _ : state)
    {
        packet.Build(PACKET_DATA, number++, payload);
        benchmark::DoNotOptimize(packet.IsValidFor(PacketReceiver::Client));
    }
}
BENCHMARK(BM_BuildAndValidateData)->Arg(0)->Arg(64)->Arg(512);

// Each round offers one 512-byte payload (or only flushes while the backlog is full)
// to a socket that takes `range(0)` bytes; throughput counts the bytes it took.
void BM_BacklogWriteFlush(benchmark::State& state)
{
    const std::vector<uint8_t> payload(TunnelPacket::MAX_PAYLOAD, 0x17);
    CBenchSocketLayer sockets;
    CStreamBacklog backlog;
    int error = 0;
    for (auto _ : state)
    {
        sockets.budget = static_cast<size_t>(state.range(0));
        if (backlog.CanAccept(payload.size()))
            backlog.Write(sockets, 1, payload, error);
        else
            backlog.Flush(sockets, 1, error);
    }
    state.SetBytesProcessed(static_cast<int64_t>(sockets.total));
}
BENCHMARK(BM_BacklogWriteFlush)->Arg(256)->Arg(500)->Arg(4096);

} // namespace
