#include "com/kcp/datagramwindow.h"

#include <QtTest>

namespace {

// Feeds the window one sample every 10 ms for `ms` milliseconds, with a
// steady round trip, and `timeoutsPerSecond` resends after a time-out.
struct Feeder
{
    explicit Feeder(quint32 start)
        : now(start)
    {
    }

    int run(int ms, int srtt, bool limited, int timeoutsPerSecond = 0)
    {
        for (int t = 0; t < ms; t += 10) {
            now += 10;
            timeoutHundredths += timeoutsPerSecond; // per 10 ms: a hundredth of a second
            timeouts += quint32(timeoutHundredths / 100);
            timeoutHundredths %= 100;
            DatagramWindow::Sample sample;
            sample.now = now;
            sample.srtt = srtt;
            sample.limited = limited;
            sample.timeouts = timeouts;
            window.update(sample);
        }
        return window.window();
    }

    quint32 now;
    quint32 timeouts = 0;
    int timeoutHundredths = 0;
    DatagramWindow window;
};

} // namespace

class TestDatagramWindow : public QObject
{
    Q_OBJECT
private slots:
    void growsOnlyWhenItHoldsTheSessionBack_data();
    void growsOnlyWhenItHoldsTheSessionBack();
    void backsOffFromAQueue();
    void timeouts_data();
    void timeouts();
    void longerPathLearnt();
};

void TestDatagramWindow::growsOnlyWhenItHoldsTheSessionBack_data()
{
    QTest::addColumn<quint32>("start");
    QTest::addColumn<int>("srtt");
    QTest::addColumn<bool>("limited");
    QTest::addColumn<int>("after");
    QTest::newRow("limited, 40 ms") << 1000u << 40 << true << DatagramWindow::Ceiling;
    QTest::newRow("limited, 1 ms") << 1000u << 1 << true << DatagramWindow::Ceiling;
    QTest::newRow("limited, round trip unknown") << 1000u << 0 << true << DatagramWindow::Ceiling;
    QTest::newRow("limited, across the clock's wrap") << 0xFFFFF000u << 40 << true << DatagramWindow::Ceiling;
    QTest::newRow("not limited") << 1000u << 40 << false << DatagramWindow::Floor;
}

// Two seconds of samples: a window that holds the session back grows to the
// ceiling and stays there; one that does not stays where it is.
void TestDatagramWindow::growsOnlyWhenItHoldsTheSessionBack()
{
    QFETCH(quint32, start);
    QFETCH(int, srtt);
    QFETCH(bool, limited);
    QFETCH(int, after);
    Feeder feeder(start);
    QCOMPARE(feeder.window.window(), DatagramWindow::Floor);
    QCOMPARE(feeder.run(2000, srtt, limited), after);
    QCOMPARE(feeder.run(2000, srtt, limited), after);
}

// A round trip that climbs beyond the allowed queueing delay shrinks the
// window, down to the floor and no further; once the queue has drained the
// window grows again.
void TestDatagramWindow::backsOffFromAQueue()
{
    Feeder feeder(1000);
    QCOMPARE(feeder.run(2000, 40, true), DatagramWindow::Ceiling);
    QCOMPARE(feeder.window.minRtt(), 40);
    QCOMPARE(feeder.window.allowedQueueDelay(), 20);
    // Within the allowed delay: nothing changes.
    QCOMPARE(feeder.run(500, 60, true), DatagramWindow::Ceiling);
    // Beyond it: a fifth less a round trip.
    const int shrunk = feeder.run(200, 61, true);
    QVERIFY2(shrunk < DatagramWindow::Ceiling * 4 / 5, qPrintable(QString::number(shrunk)));
    QCOMPARE(feeder.run(5000, 200, true), DatagramWindow::Floor);
    QCOMPARE(feeder.window.minRtt(), 40);
    QCOMPARE(feeder.run(2000, 40, true), DatagramWindow::Ceiling);
    // A fast path still allows 15 ms of queue.
    Feeder fast(1000);
    fast.run(2000, 2, true);
    QCOMPARE(fast.window.allowedQueueDelay(), 15);
    QCOMPARE(fast.run(500, 17, true), DatagramWindow::Ceiling);
    QVERIFY(fast.run(500, 18, true) < DatagramWindow::Ceiling);
}

void TestDatagramWindow::timeouts_data()
{
    QTest::addColumn<int>("perSecond");
    QTest::addColumn<bool>("shrinks");
    // At 40 ms a round, a window of 1024 shrinks above 128 a round.
    QTest::newRow("none") << 0 << false;
    QTest::newRow("scattered: 1 a round") << 25 << false;
    QTest::newRow("a burst a round: 200") << 5000 << true;
}

// Scattered time-outs, which resends mend, leave the window alone; many in
// one round mean the path cannot carry it.
void TestDatagramWindow::timeouts()
{
    QFETCH(int, perSecond);
    QFETCH(bool, shrinks);
    Feeder feeder(1000);
    QCOMPARE(feeder.run(2000, 40, true), DatagramWindow::Ceiling);
    const int after = feeder.run(400, 40, true, perSecond);
    QCOMPARE(after < DatagramWindow::Ceiling, shrinks);
    if (shrinks)
        QCOMPARE(feeder.run(3000, 40, true, perSecond), DatagramWindow::Floor);
}

// The lowest round trip is forgotten after two periods: a path that became
// longer for good is not taken for a queue for ever.
void TestDatagramWindow::longerPathLearnt()
{
    Feeder feeder(1000);
    feeder.run(2000, 10, true);
    QCOMPARE(feeder.window.minRtt(), 10);
    QCOMPARE(feeder.run(5000, 80, true), DatagramWindow::Floor);
    feeder.run(int(2 * DatagramWindow::MinRttPeriodMs), 80, true);
    QCOMPARE(feeder.window.minRtt(), 80);
    QCOMPARE(feeder.run(3000, 80, true), DatagramWindow::Ceiling);
}

QTEST_GUILESS_MAIN(TestDatagramWindow)
#include "tst_datagramwindow.moc"
