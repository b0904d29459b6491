#include "support/FakeSocketLayer.h"
#include "tunnel/StreamBacklog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace
{

// A TCP socket that takes `budget` bytes (at most `chunk` per call) and then would
// block, or fails every send with `failCode`.
class CFakeSocketLayer : public tq_test::FakeSocketLayer
{
public:
    size_t budget = 0;
    size_t chunk = 7;
    int failCode = 0;
    std::vector<uint8_t> received;

    int Send(SOCKET, std::span<const uint8_t> data) override
    {
        const size_t taken = std::min({budget, chunk, data.size()});
        if (failCode != 0 || taken == 0)
            return Fail(failCode != 0 ? failCode : WSAEWOULDBLOCK);
        received.insert(received.end(), data.begin(), data.begin() + static_cast<long>(taken));
        budget -= taken;
        return static_cast<int>(taken);
    }
};

std::vector<uint8_t> Pattern(size_t count, size_t start)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>((start + i) * 31 + 7);
    return bytes;
}

constexpr SOCKET SOCK = 5;

} // namespace

TEST(StreamBacklogTest, BytesArriveCompleteAndInOrderAcrossPartialWrites)
{
    CFakeSocketLayer sockets;
    CStreamBacklog backlog;
    std::vector<uint8_t> written;
    std::mt19937 random(42);
    int error = 0;
    for (int i = 0; i < 400; ++i)
    {
        const auto data = Pattern(random() % 513, written.size());
        written.insert(written.end(), data.begin(), data.end());
        sockets.budget = random() % 600;
        sockets.chunk = 1 + random() % 300;
        ASSERT_TRUE(backlog.Write(sockets, SOCK, data, error));
        ASSERT_EQ(sockets.received.size() + backlog.Size(), written.size());
    }
    sockets.budget = written.size();
    ASSERT_TRUE(backlog.Flush(sockets, SOCK, error));
    EXPECT_TRUE(backlog.Empty());
    EXPECT_EQ(sockets.received, written);
}

TEST(StreamBacklogTest, NewBytesWaitBehindHeldOnesAndAnErrorLosesNothing)
{
    CFakeSocketLayer sockets;
    CStreamBacklog backlog;
    int error = 0;
    sockets.budget = 10;
    ASSERT_TRUE(backlog.Write(sockets, SOCK, Pattern(30, 0), error));
    EXPECT_EQ(backlog.Size(), 20u);

    // Even with room for the new bytes, the held ones go first.
    sockets.budget = 5;
    ASSERT_TRUE(backlog.Write(sockets, SOCK, Pattern(4, 30), error));
    EXPECT_EQ(backlog.Size(), 19u);
    EXPECT_EQ(sockets.received, Pattern(15, 0));

    sockets.failCode = WSAECONNRESET;
    EXPECT_FALSE(backlog.Write(sockets, SOCK, Pattern(6, 34), error));
    EXPECT_EQ(error, WSAECONNRESET);
    EXPECT_EQ(backlog.Size(), 25u);

    sockets.failCode = 0;
    sockets.budget = 100;
    EXPECT_TRUE(backlog.Flush(sockets, SOCK, error));
    EXPECT_EQ(sockets.received, Pattern(40, 0));

    // An error while nothing is held keeps the whole new block.
    sockets.failCode = WSAENOTCONN;
    EXPECT_FALSE(backlog.Write(sockets, SOCK, Pattern(8, 40), error));
    EXPECT_EQ(error, WSAENOTCONN);
    EXPECT_EQ(backlog.Size(), 8u);
}

TEST(StreamBacklogTest, CanAcceptHonoursTheBoundAndClearEmpties)
{
    CFakeSocketLayer sockets;
    CStreamBacklog backlog;
    EXPECT_TRUE(backlog.CanAccept(CStreamBacklog::MAX_BYTES));
    EXPECT_FALSE(backlog.CanAccept(CStreamBacklog::MAX_BYTES + 1));
    int error = 0;
    ASSERT_TRUE(backlog.Write(sockets, SOCK, Pattern(100, 0), error));
    EXPECT_EQ(backlog.Size(), 100u);
    EXPECT_TRUE(backlog.CanAccept(CStreamBacklog::MAX_BYTES - 100));
    EXPECT_FALSE(backlog.CanAccept(CStreamBacklog::MAX_BYTES - 99));
    backlog.Clear();
    EXPECT_TRUE(backlog.Empty());
    EXPECT_TRUE(backlog.Flush(sockets, SOCK, error));
    EXPECT_TRUE(sockets.received.empty());
}
