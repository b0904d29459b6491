// The stop-and-wait floor on this machine: two processes exchange one 524-byte
// datagram and a 12-byte answer over loopback UDP, again and again, with blocking
// receives and nothing else. A tunnel that moves 512 payload bytes per exchange can
// move at most 512 bytes per exchange time.
//   tq_bench_floor [SECONDS]   prints "floor <us per exchange> <MB/s>"
#include "BenchNet.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

using namespace tq_bench;

namespace
{

constexpr size_t DATA_SIZE = 524;
constexpr size_t ACK_SIZE = 12;
constexpr size_t PAYLOAD = 512;

int BoundUdp(uint16_t& port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    {
        std::perror("floor: socket");
        std::exit(1);
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// The receiving side: answers every datagram with a short one, until killed.
[[noreturn]] void Answer(int fd, uint16_t senderPort)
{
    const sockaddr_in to = Loopback(senderPort);
    uint8_t buffer[DATA_SIZE];
    const uint8_t ack[ACK_SIZE] = {4};
    for (;;)
    {
        if (recv(fd, buffer, sizeof(buffer), 0) > 0)
            sendto(fd, ack, sizeof(ack), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    uint16_t senderPort = 0;
    uint16_t answerPort = 0;
    const int sender = BoundUdp(senderPort);
    const int answerer = BoundUdp(answerPort);
    const pid_t child = fork();
    if (child == 0)
        Answer(answerer, senderPort);
    const sockaddr_in to = Loopback(answerPort);
    uint8_t data[DATA_SIZE] = {3};
    uint8_t reply[DATA_SIZE];
    timeval timeout{1, 0};
    setsockopt(sender, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    long exchanges = 0;
    double start = NowSeconds();
    const double warmUpEnd = start + 0.2;
    bool warm = false;
    for (;;)
    {
        sendto(sender, data, sizeof(data), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        if (recv(sender, reply, sizeof(reply), 0) <= 0)
            continue; // lost: send again
        const double now = NowSeconds();
        if (!warm && now >= warmUpEnd)
        {
            warm = true;
            start = now;
            exchanges = 0;
            continue;
        }
        ++exchanges;
        if (warm && now - start >= seconds)
            break;
    }
    const double elapsed = NowSeconds() - start;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const double usPerExchange = elapsed * 1e6 / static_cast<double>(exchanges);
    std::printf("floor %.1f %.2f\n", usPerExchange, PAYLOAD / usPerExchange);
    return 0;
}
