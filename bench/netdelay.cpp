// netdelay: a link with delay and loss between two network namespaces, for
// the copy benchmark on a kernel without netem or NFQUEUE.
//
//   netdelay NETNS_A IFACE_A NETNS_B IFACE_B DELAY_MS LOSS_PERCENT [SEED]
//
// Opens a TAP device of the given name inside each namespace (entering it
// through /var/run/netns/NAME) and carries every Ethernet frame from one to
// the other. Each frame is held DELAY_MS milliseconds after it arrives
// (one way; a round trip is twice that) and dropped with LOSS_PERCENT
// percent chance, each direction on its own. Frames leave in arrival order.
// A queue that holds more than 64 MiB in one direction drops what comes
// (a router's full buffer). Runs until SIGTERM or SIGINT; prints one line
// "ready" once both devices are open, and on exit a line with the counts.
//
// TAP rather than TUN: an engine skips point-to-point interfaces when it lists
// its own addresses, and a TAP device is an Ethernet one.

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int)
{
    stopRequested = 1;
}

using Clock = std::chrono::steady_clock;

struct Frame
{
    Clock::time_point due;
    std::vector<unsigned char> bytes;
};

struct Direction
{
    int from = -1;
    int to = -1;
    std::deque<Frame> queue;
    size_t queuedBytes = 0;
    unsigned long long carried = 0;
    unsigned long long lost = 0;
    unsigned long long overflowed = 0;
};

constexpr size_t QueueLimit = 64u << 20;
constexpr size_t FrameMax = 65536;

int openTapIn(const std::string& netns, const std::string& name)
{
    const std::string path = "/var/run/netns/" + netns;
    const int nsFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) {
        std::perror(path.c_str());
        return -1;
    }
    const int back = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (back < 0 || setns(nsFd, CLONE_NEWNET) != 0) {
        std::perror("setns");
        return -1;
    }
    close(nsFd);
    const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        ifreq ifr;
        std::memset(&ifr, 0, sizeof ifr);
        ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
        std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
        if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
            std::perror("TUNSETIFF");
            close(fd);
            setns(back, CLONE_NEWNET);
            return -1;
        }
        fcntl(fd, F_SETFL, O_NONBLOCK);
    } else {
        std::perror("/dev/net/tun");
    }
    if (setns(back, CLONE_NEWNET) != 0)
        std::perror("setns back");
    close(back);
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 7) {
        std::fprintf(stderr, "usage: %s NETNS_A IFACE_A NETNS_B IFACE_B DELAY_MS LOSS_PERCENT [SEED]\n", argv[0]);
        return 2;
    }
    const int tapA = openTapIn(argv[1], argv[2]);
    const int tapB = openTapIn(argv[3], argv[4]);
    if (tapA < 0 || tapB < 0)
        return 1;
    const auto delay = std::chrono::microseconds(long(std::atof(argv[5]) * 1000.0));
    const double loss = std::atof(argv[6]) / 100.0;
    std::mt19937_64 random(argc > 7 ? std::strtoull(argv[7], nullptr, 10) : 1);
    std::uniform_real_distribution<double> chance(0.0, 1.0);

    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    std::printf("ready\n");
    std::fflush(stdout);

    Direction ways[2];
    ways[0].from = tapA;
    ways[0].to = tapB;
    ways[1].from = tapB;
    ways[1].to = tapA;
    std::vector<unsigned char> buffer(FrameMax);
    while (!stopRequested) {
        // Release what is due, then wait for frames or the next due time.
        const auto now = Clock::now();
        int timeoutMs = 100;
        for (Direction& way : ways) {
            while (!way.queue.empty() && way.queue.front().due <= now) {
                Frame& f = way.queue.front();
                // A full device queue on the far side drops the frame, as a
                // wire would.
                if (write(way.to, f.bytes.data(), f.bytes.size()) > 0)
                    ++way.carried;
                way.queuedBytes -= f.bytes.size();
                way.queue.pop_front();
            }
            if (!way.queue.empty()) {
                const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(way.queue.front().due - now);
                timeoutMs = std::min<int>(timeoutMs, int((wait.count() + 999) / 1000));
            }
        }
        pollfd fds[2] = {{tapA, POLLIN, 0}, {tapB, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            Direction& way = ways[i];
            // Drain the device: many frames per wake-up.
            for (int n = 0; n < 4096; ++n) {
                const ssize_t got = read(way.from, buffer.data(), buffer.size());
                if (got <= 0)
                    break;
                if (loss > 0 && chance(random) < loss) {
                    ++way.lost;
                    continue;
                }
                if (way.queuedBytes + size_t(got) > QueueLimit) {
                    ++way.overflowed;
                    continue;
                }
                way.queue.push_back({Clock::now() + delay, std::vector<unsigned char>(buffer.begin(), buffer.begin() + got)});
                way.queuedBytes += size_t(got);
            }
        }
    }
    std::printf("A to B: %llu carried, %llu lost, %llu overflowed; B to A: %llu carried, %llu lost, %llu overflowed\n",
                ways[0].carried, ways[0].lost, ways[0].overflowed, ways[1].carried, ways[1].lost, ways[1].overflowed);
    return 0;
}
