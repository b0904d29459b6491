#include "common/Network.h"
#include "platform/Socket.h"

#include <gtest/gtest.h>

TEST(NetworkTest, ResolveAddress)
{
    uint32_t address = 1;
    ASSERT_TRUE(ResolveAddress("10.1.2.3", address));
    EXPECT_EQ(address, AddressFromBytes(10, 1, 2, 3));
    EXPECT_FALSE(ResolveAddress("255.255.255.255", address));
    EXPECT_TRUE(ResolveAddress("localhost", address));
    uint8_t bytes[4];
    AddressBytes(address, bytes);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_FALSE(ResolveAddress("", address));
    EXPECT_EQ(address, 0u);
}

TEST(NetworkTest, SocketErrorTexts)
{
    EXPECT_EQ(GetSocketErrorTableSize(), 68);
    EXPECT_STREQ(GetSocketErrorText(10035),
                 "WSAEWOULDBLOCK: Resource temporarily unavailable (Would block)");
    EXPECT_STREQ(GetSocketErrorText(10054), "WSAECONNRESET: Connection reset by peer");
    EXPECT_STREQ(GetSocketErrorText(10048), "WSAEADDRINUSE: Address already in use");
    EXPECT_STREQ(GetSocketErrorText(11001), "WSAHOST_NOT_FOUND: Host not found");
    EXPECT_STREQ(GetSocketErrorText(10102), "WSAENOMORE: ");
    EXPECT_STREQ(GetSocketErrorText(10009), "WSAEBADF: Bad file number");
    EXPECT_STREQ(GetSocketErrorText(6),
                 "WSA_INVALID_HANDLE: Specified event object handle is invalid");
    EXPECT_STREQ(GetSocketErrorText(10112), "WSAEREFUSED: Refused");
    EXPECT_STREQ(GetSocketErrorText(12345), "Unknown error");
    EXPECT_STREQ(GetSocketErrorText(0), "Unknown error");
}
