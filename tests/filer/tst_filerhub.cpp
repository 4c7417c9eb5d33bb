#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"

#include <QSignalSpy>
#include <QtTest>

// The hub with two stand-in panes, as the main window builds them.
class TestFilerHub : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void inactivePaneChangesNothing();
    void sameFilerTwiceEmitsOnce();
    void switchingPanes();
    void closedFilerIsNeverAnswered();
    void filerAtAddressOfClosedOneIsAnnounced();
    void clipboardStartsEmpty();

private:
    FilerHub* m_hub = nullptr;
    FilerPane* m_left = nullptr;
    FilerPane* m_right = nullptr;
    QWidget* m_window = nullptr;
};

void TestFilerHub::init()
{
    m_window = new QWidget;
    m_hub = new FilerHub(m_window);
    m_left = new FilerPane(nullptr, nullptr, m_hub, m_window);
    m_right = new FilerPane(nullptr, nullptr, m_hub, m_window);
}

void TestFilerHub::cleanup()
{
    delete m_window;
}

void TestFilerHub::inactivePaneChangesNothing()
{
    QVERIFY(!m_hub->activeFiler());
    QVERIFY(!m_hub->activeFilerPane());
    m_hub->setActiveFilerPane(m_left);
    Filer* left = m_left->createFiler(1, QStringLiteral("{l}"));
    Filer* right = m_right->createFiler(1, QStringLiteral("{r}"));
    QSignalSpy changed(m_hub, &FilerHub::activeFilerChanged);
    QSignalSpy paneChanged(m_hub, &FilerHub::activeFilerPaneChanged);
    m_hub->setActiveFiler(m_right, right);
    m_hub->setActiveFiler(nullptr, right);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(paneChanged.count(), 0);
    QCOMPARE(m_hub->activeFiler(), left);
}

void TestFilerHub::sameFilerTwiceEmitsOnce()
{
    m_hub->setActiveFilerPane(m_left);
    QSignalSpy changed(m_hub, &FilerHub::activeFilerChanged);
    Filer* left = m_left->createFiler(1, QStringLiteral("{l}"));
    QCOMPARE(changed.count(), 1);
    m_hub->setActiveFiler(m_left, left);
    m_hub->setActiveFiler(m_left, left);
    QCOMPARE(changed.count(), 1);
    QSignalSpy paneChanged(m_hub, &FilerHub::activeFilerPaneChanged);
    m_hub->setActiveFilerPane(m_left);
    QCOMPARE(paneChanged.count(), 0);
}

void TestFilerHub::switchingPanes()
{
    m_hub->setActiveFilerPane(m_left);
    m_left->createFiler(1, QStringLiteral("{l}"));
    Filer* right = m_right->createFiler(1, QStringLiteral("{r}"));

    QStringList order;
    connect(m_hub, &FilerHub::activeFilerPaneChanged, this, [&] { order << "pane"; });
    connect(m_hub, &FilerHub::activeFilerChanged, this, [&] { order << "filer"; });
    emit right->activated(); // as a click or focus in the right Filer does
    QCOMPARE(order, (QStringList{ "pane", "filer" }));
    QCOMPARE(m_hub->activeFilerPane(), m_right);
    QCOMPARE(m_hub->activeFiler(), right);
}

void TestFilerHub::closedFilerIsNeverAnswered()
{
    m_hub->setActiveFilerPane(m_left);
    Filer* first = m_left->createFiler(1, QStringLiteral("{1}"));
    Filer* second = m_left->createFiler(1, QStringLiteral("{2}"));
    QCOMPARE(m_hub->activeFiler(), second);
    QPointer<Filer> closed(second);
    m_left->closeFilerTab();
    QTRY_VERIFY(closed.isNull());
    QCOMPARE(m_hub->activeFiler(), first);
    QCOMPARE(m_left->filerCount(), 1);
    // The last tab stays.
    m_left->closeFilerTab();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_hub->activeFiler(), first);
}

// The hub remembers the Filer it announced by a pointer that goes null with
// it: a new Filer is news even where memory is reused.
void TestFilerHub::filerAtAddressOfClosedOneIsAnnounced()
{
    m_hub->setActiveFilerPane(m_left);
    Filer* first = m_left->createFiler(1, QStringLiteral("{1}"));
    Filer* second = m_left->createFiler(1, QStringLiteral("{2}"));
    m_left->closeFilerTab();
    QTRY_COMPARE(m_left->filerCount(), 1);
    QSignalSpy changed(m_hub, &FilerHub::activeFilerChanged);
    Filer* third = m_left->createFiler(1, QStringLiteral("{3}"));
    QCOMPARE(changed.count(), 1);
    Q_UNUSED(first);
    Q_UNUSED(second);
    Q_UNUSED(third);
}

void TestFilerHub::clipboardStartsEmpty()
{
    VfsCopyDto* clipboard = m_hub->clipboard();
    QVERIFY(clipboard);
    QVERIFY(clipboard->id.isEmpty());
    QVERIFY(clipboard->entries.empty());
    QCOMPARE(int(clipboard->move), 0);
    QCOMPARE(m_hub->clipboard(), clipboard);
}

QTEST_MAIN(TestFilerHub)
#include "tst_filerhub.moc"
