#include "com/transport/redialschedule.h"

#include <QtTest>

#include <algorithm>
#include <vector>

namespace {

// The dials of a transport whose connection (one that carried the link) was
// lost at time 0, against a far end that answers every dial after answerMs:
// by refusing it until networkBackMs, by accepting it from then on. The
// peer is heard elsewhere until heardUntilMs. The transport asks the
// schedule whenever the wait it was given is over, as the real one does.
// Times in ms on a clock of the test's own; the last entry is the dial that
// connected, or the last one before untilMs.
std::vector<qint64> dials(const RedialSchedule& schedule, qint64 answerMs, qint64 networkBackMs, qint64 untilMs,
                          qint64 heardUntilMs = -1)
{
    std::vector<qint64> at;
    qint64 now = 0; // the connection has just closed
    qint64 failed = 0;
    qint64 lastDial = -1;
    for (;;) {
        RedialSchedule::Situation situation;
        situation.sinceFailureMs = now - failed;
        situation.sinceDialMs = lastDial < 0 ? -1 : now - lastDial;
        situation.sinceLostMs = now;
        situation.heardElsewhere = now < heardUntilMs;
        const int wait = schedule.waitMs(situation);
        if (wait < 0)
            return {}; // never happens; a test sees the empty list
        now += wait;
        if (now >= untilMs)
            return at;
        if (wait > 0)
            continue;
        at.push_back(now);
        lastDial = now;
        if (now >= networkBackMs)
            return at;
        now += answerMs;
        failed = now;
    }
}

} // namespace

class TestRedialSchedule : public QObject
{
    Q_OBJECT
private slots:
    void waitMs_data();
    void waitMs();
    void refusedAtOnceDuringOutage_data();
    void refusedAtOnceDuringOutage();
    void heardElsewhereAtFirst();
    void peerGoneForGood();
};

void TestRedialSchedule::waitMs_data()
{
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("fastInterval");
    QTest::addColumn<qint64>("sinceFailure");
    QTest::addColumn<qint64>("sinceDial");
    QTest::addColumn<qint64>("sinceLost");
    QTest::addColumn<bool>("heardElsewhere");
    QTest::addColumn<int>("expected");

    const qint64 window = RedialSchedule::DefaultFastWindowMs;
    // A way that never carried the link is not worth hurrying.
    QTest::newRow("never carried the link") << 30000 << 3000 << qint64(0) << qint64(5) << qint64(-1) << false
                                            << 30000;
    QTest::newRow("never carried the link, later") << 30000 << 3000 << qint64(12000) << qint64(12005) << qint64(-1)
                                                   << false << 18000;
    QTest::newRow("plain delay over") << 30000 << 3000 << qint64(30000) << qint64(30005) << qint64(-1) << false
                                      << 0;
    QTest::newRow("lost, refused at once") << 30000 << 3000 << qint64(0) << qint64(5) << qint64(10000) << false
                                           << 2995;
    QTest::newRow("lost, first failure, dialled long ago")
        << 30000 << 3000 << qint64(0) << qint64(400000) << qint64(0) << false << 0;
    QTest::newRow("lost, never dialled") << 30000 << 3000 << qint64(0) << qint64(-1) << qint64(0) << false << 0;
    QTest::newRow("lost, dial timed out") << 30000 << 3000 << qint64(0) << qint64(10000) << qint64(60000) << false
                                          << 0;
    QTest::newRow("lost, exactly one interval") << 30000 << 3000 << qint64(2990) << qint64(3000) << qint64(60000)
                                                << false << 0;
    // Heard elsewhere: no early dial, but a look again after an interval.
    QTest::newRow("lost, heard elsewhere") << 30000 << 3000 << qint64(0) << qint64(5) << qint64(10000) << true
                                           << 3000;
    QTest::newRow("heard elsewhere, plain delay nearly over")
        << 30000 << 3000 << qint64(29000) << qint64(29005) << qint64(40000) << true << 1000;
    QTest::newRow("last moment of the window") << 30000 << 3000 << qint64(0) << qint64(5) << qint64(window - 1)
                                               << false << 2995;
    QTest::newRow("window over") << 30000 << 3000 << qint64(0) << qint64(5) << qint64(window) << false << 30000;
    // Never slower than the plain delay.
    QTest::newRow("interval above the delay") << 2000 << 3000 << qint64(0) << qint64(5) << qint64(10000) << false
                                              << 2000;
}

void TestRedialSchedule::waitMs()
{
    QFETCH(int, delay);
    QFETCH(int, fastInterval);
    QFETCH(qint64, sinceFailure);
    QFETCH(qint64, sinceDial);
    QFETCH(qint64, sinceLost);
    QFETCH(bool, heardElsewhere);
    QFETCH(int, expected);
    const RedialSchedule schedule(delay, fastInterval, RedialSchedule::DefaultFastWindowMs);
    RedialSchedule::Situation situation;
    situation.sinceFailureMs = sinceFailure;
    situation.sinceDialMs = sinceDial;
    situation.sinceLostMs = sinceLost;
    situation.heardElsewhere = heardElsewhere;
    QCOMPARE(schedule.waitMs(situation), expected);
}

void TestRedialSchedule::refusedAtOnceDuringOutage_data()
{
    QTest::addColumn<qint64>("answer");
    QTest::addColumn<qint64>("networkBack");

    QTest::newRow("refused within 1 ms, back after 150 s") << qint64(1) << qint64(150000);
    QTest::newRow("refused at once, back after 5 s") << qint64(0) << qint64(5000);
    QTest::newRow("answer takes 2.5 s, back after 60 s") << qint64(2500) << qint64(60000);
    QTest::newRow("dial times out after 10 s, back after 9 min") << qint64(10000) << qint64(540000);
}

// However fast the far end refuses, dials start at least one interval apart;
// once the network is back, the next dial comes within one interval (plus
// the answer to the dial under way).
void TestRedialSchedule::refusedAtOnceDuringOutage()
{
    QFETCH(qint64, answer);
    QFETCH(qint64, networkBack);
    const RedialSchedule schedule;
    const std::vector<qint64> at = dials(schedule, answer, networkBack, 3600000);
    QVERIFY(!at.empty());
    QCOMPARE(at.front(), qint64(0));
    for (std::size_t i = 1; i < at.size(); ++i)
        QVERIFY2(at[i] - at[i - 1] >= schedule.fastIntervalMs(), qPrintable(QString::number(at[i] - at[i - 1])));
    QVERIFY(at.back() >= networkBack);
    QVERIFY(at.back() - networkBack <= schedule.fastIntervalMs() + answer);
}

// The connection closes while the other ways still carry the peer (they
// fall silent a little later in the same outage): the transport waits, but
// within an interval of the peer's last word elsewhere it dials fast.
void TestRedialSchedule::heardElsewhereAtFirst()
{
    const RedialSchedule schedule;
    const qint64 heardUntil = 12000;
    const std::vector<qint64> at = dials(schedule, 1, 150000, 3600000, heardUntil);
    QVERIFY(at.size() > 2);
    QVERIFY2(at.front() >= heardUntil && at.front() <= heardUntil + schedule.fastIntervalMs(),
             qPrintable(QString::number(at.front())));
    QVERIFY(at.back() - 150000 <= schedule.fastIntervalMs());
}

// A peer that stays away costs a dial every interval for the fast window,
// then one every plain delay: bounded, not forever fast.
void TestRedialSchedule::peerGoneForGood()
{
    const RedialSchedule schedule;
    const qint64 hour = 3600000;
    const std::vector<qint64> at = dials(schedule, 1, hour * 10, hour);
    const qint64 window = schedule.fastWindowMs();
    const auto inWindow = std::count_if(at.begin(), at.end(), [&](qint64 t) { return t < window; });
    QCOMPARE(inWindow, window / schedule.fastIntervalMs());
    for (std::size_t i = 1; i < at.size(); ++i) {
        if (at[i - 1] >= window)
            QCOMPARE(at[i] - at[i - 1], qint64(schedule.delayMs() + 1));
    }
    QVERIFY(qint64(at.size()) <= window / schedule.fastIntervalMs() + (hour - window) / schedule.delayMs() + 1);
}

QTEST_GUILESS_MAIN(TestRedialSchedule)
#include "tst_redialschedule.moc"
