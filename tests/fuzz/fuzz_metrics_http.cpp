// The metrics endpoint over the fake socket layer, fed one peer's byte stream in
// chunks (a pass of the loop after each), with a send side that takes a few bytes at a
// time. Checked: the peer gets at most one answer, a whole HTTP/1.1 one whose
// Content-Length is its body; 200 with the page exactly when the request line was
// "GET /metrics" (query allowed); 431 only past the request bound; the connection is
// closed once the answer is out, and at the deadline in any case.
//
// Input: one byte of flags (bit 0: the peer closes after the last chunk; bits 4-7:
// bytes the socket takes per send, 0 = all), then chunks [length][bytes].
#include "FuzzSupport.h"

#include "common/MetricsHttpEndpoint.h"
#include "support/FakeSocketLayer.h"

#include <string>

using tq_test::FakeSocketLayer;

namespace
{
const std::string PAGE = "tarviqen_sessions 3\n";

// What the endpoint must answer to a complete head.
std::string ExpectedStatus(const std::string& head)
{
    const size_t methodEnd = head.find(' ');
    const size_t targetEnd = head.find_first_of(" \r\n", methodEnd + 1);
    if (methodEnd == std::string::npos || targetEnd == std::string::npos)
        return "400";
    std::string target = head.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    target = target.substr(0, target.find('?'));
    if (target != "/metrics")
        return "404";
    return head.compare(0, methodEnd, "GET") == 0 && methodEnd == 3 ? "200" : "405";
}

void CheckAnswer(const std::string& answer, const std::string& received, bool complete)
{
    FUZZ_CHECK(answer.rfind("HTTP/1.1 ", 0) == 0);
    const std::string status = answer.substr(9, 3);
    const size_t headEnd = answer.find("\r\n\r\n");
    FUZZ_CHECK(headEnd != std::string::npos);
    const std::string body = answer.substr(headEnd + 4);
    FUZZ_CHECK(answer.find("Content-Length: " + std::to_string(body.size()) + "\r\n") < headEnd);
    if (status == "431")
    {
        FUZZ_CHECK(received.size() > CMetricsHttpEndpoint::MAX_REQUEST_BYTES);
        return;
    }
    FUZZ_CHECK(complete);
    FUZZ_CHECK(status == ExpectedStatus(received));
    if (status == "200")
        FUZZ_CHECK(body == PAGE);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    tq_fuzz::ByteReader input(data, size);
    const uint8_t flags = input.Byte();
    FakeSocketLayer sockets;
    CMetricsHttpEndpoint endpoint(sockets, 10, [] { return PAGE; });
    FUZZ_CHECK(endpoint.Open(0x0100007F, 9100));
    const SOCKET peer = sockets.QueueConnection(sockets.BoundTo(9100, false), MakeSocketAddress(0x0100007F, 5000));
    sockets.Socket(peer).sendLimit = (flags >> 4) == 0 ? -1 : flags >> 4;

    uint32_t now = 1000;
    std::vector<SocketReadiness> ready;
    std::string received; // what the peer sent, as far as the endpoint may have read it
    const auto pass = [&] {
        sockets.WaitReady(0, ready);
        for (const SocketReadiness& event : ready)
        {
            FUZZ_CHECK(endpoint.OwnsToken(event.token));
            endpoint.SetReady(event.token, event.readable, event.writable);
        }
        endpoint.Step(now);
    };
    const auto complete = [&] {
        return received.find("\r\n\r\n") != std::string::npos || received.find("\n\n") != std::string::npos;
    };
    pass();
    // Nothing is fed after a complete head: the endpoint reads no further.
    while (!input.Empty() && sockets.IsOpen(peer) && !complete() &&
           received.size() <= CMetricsHttpEndpoint::MAX_REQUEST_BYTES)
    {
        const std::span<const uint8_t> chunk = input.Take(input.Byte());
        sockets.Socket(peer).inbound.insert(sockets.Socket(peer).inbound.end(), chunk.begin(), chunk.end());
        received += tq_fuzz::AsText(chunk);
        // New bytes are an edge for epoll; the fake sees one only when more wait
        // than at its last report.
        endpoint.SetReady(11, true, false);
        pass();
    }
    if ((flags & 1) != 0 && sockets.IsOpen(peer))
        sockets.Socket(peer).peerClosed = true;
    for (int i = 0; i < 64 && sockets.IsOpen(peer); ++i)
        pass(); // a slow send side takes the answer bit by bit
    const std::string answer(sockets.Socket(peer).written.begin(), sockets.Socket(peer).written.end());
    if (!answer.empty())
    {
        CheckAnswer(answer, received, complete());
        FUZZ_CHECK(!sockets.IsOpen(peer));
    }
    else
        FUZZ_CHECK(!complete() && received.size() <= CMetricsHttpEndpoint::MAX_REQUEST_BYTES);
    now += CMetricsHttpEndpoint::DEADLINE_MS;
    pass();
    FUZZ_CHECK(!sockets.IsOpen(peer));
    FUZZ_CHECK(endpoint.ConnectionCount() == 0);
    return 0;
}
