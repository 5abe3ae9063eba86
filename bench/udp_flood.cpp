// Sends numbered UDP datagrams as fast as one core can (sendmmsg in batches) for the live capture benchmark.
//   udp_flood <destination IPv4> <port> <count> <payload bytes>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: udp_flood <destination IPv4> <port> <count> <payload bytes>\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) {
        std::fprintf(stderr, "udp_flood: bad address %s\n", argv[1]);
        return 2;
    }
    const long count = std::atol(argv[3]);
    const size_t payload = static_cast<size_t>(std::atol(argv[4]));
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::perror("udp_flood: socket");
        return 1;
    }
    int buffer = 4 << 20;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    constexpr int kBatch = 64;
    std::vector<std::vector<unsigned char>> data(kBatch, std::vector<unsigned char>(payload < 8 ? 8 : payload));
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    long sent = 0;
    auto start = std::chrono::steady_clock::now();
    while (sent < count) {
        int n = static_cast<int>(count - sent < kBatch ? count - sent : kBatch);
        for (int i = 0; i < n; ++i) {
            long number = sent + i + 1;
            std::memcpy(data[i].data(), &number, sizeof number);
            vectors[i] = {data[i].data(), data[i].size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &to;
            messages[i].msg_hdr.msg_namelen = sizeof to;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int done = sendmmsg(sock, messages, static_cast<unsigned>(n), 0);
        if (done > 0) sent += done;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("sent %ld in %.3f s\n", sent, seconds);
    close(sock);
    return 0;
}
