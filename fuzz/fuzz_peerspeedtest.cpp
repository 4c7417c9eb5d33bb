// Feeds the link speed test what a peer can send on the control channel:
// any bytes, in each of its states. Whatever arrives, the state stays one of
// the three and only a request is ever answered, with its own number.
#include "com/link/endpoint.h"
#include "peer/peerspeedtest.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_peerspeedtest";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;

    const std::vector<uint8_t> message(data, data + size);
    for (int state = PeerSpeedTest::Idle; state <= PeerSpeedTest::Waiting; ++state) {
        // No session and no buddy: what the test sends goes nowhere.
        Endpoint endpoint;
        PeerSpeedTest test(&endpoint, &endpoint);
        if (state >= PeerSpeedTest::Pause)
            test.handleEvent(PeerSpeedTest::StartEvent);
        if (state >= PeerSpeedTest::Waiting)
            test.handleEvent(PeerSpeedTest::TimerEvent);
        const quint32 ownSeq = test.seq();
        test.onReceivedMessage(message);
        check(test.state() >= PeerSpeedTest::Idle && test.state() <= PeerSpeedTest::Waiting);
        check(test.seq() == ownSeq);
    }
    return 0;
}
