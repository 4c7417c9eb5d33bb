#include "peer/invitationcode.h"

#include <QSet>
#include <QUuid>
#include <QtTest>

// Codes of new invitations: eight characters of a 56-letter alphabet without
// look-alikes, from the secure random generator, unrelated to the uuid.
class TestInvitationCode : public QObject
{
    Q_OBJECT
private slots:
    void alphabet();
    void tenThousandCodes();
    void codeLength_data();
    void codeLength();
};

void TestInvitationCode::alphabet()
{
    const QString letters = InvitationCode::alphabet();
    QVERIFY(letters.size() >= 54);
    QCOMPARE(QSet<QChar>(letters.begin(), letters.end()).size(), letters.size());
    for (QChar c : letters)
        QVERIFY2(c.isLetterOrNumber() && c.unicode() < 128, qPrintable(QString(c)));
    for (QChar lookAlike : { '0', 'O', 'o', '1', 'l', 'I' })
        QVERIFY2(!letters.contains(lookAlike), qPrintable(QString(lookAlike)));
}

// Each code is compared with the uuid made for the same invitation, as the
// window makes them: no code is one of the uuid's groups.
void TestInvitationCode::tenThousandCodes()
{
    const QString letters = InvitationCode::alphabet();
    QSet<QString> seen;
    QSet<QChar> used;
    for (int i = 0; i < 10000; ++i) {
        const QString uuid = QUuid::createUuid().toString();
        const QString code = InvitationCode::generate();
        QCOMPARE(code.size(), InvitationCode::Length);
        for (QChar c : code) {
            QVERIFY2(letters.contains(c), qPrintable(code));
            used.insert(c);
        }
        QVERIFY2(!seen.contains(code), qPrintable(code));
        seen.insert(code);
        const QStringList groups = uuid.mid(1, uuid.size() - 2).split(QLatin1Char('-'));
        for (const QString& group : groups)
            QVERIFY(group.compare(code, Qt::CaseInsensitive) != 0);
    }
    // 80,000 draws reach every letter; a generator stuck on hexadecimal
    // digits (the old codes) would use 16.
    QCOMPARE(used.size(), letters.size());
}

void TestInvitationCode::codeLength_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("new code") << InvitationCode::generate() << true;
    QTest::newRow("hexadecimal code") << "1a2b3c4d" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("seven") << "abcdefg" << false;
    QTest::newRow("nine") << "abcdefghj" << false;
}

void TestInvitationCode::codeLength()
{
    QFETCH(QString, code);
    QFETCH(bool, accepted);
    QCOMPARE(InvitationCode::hasCodeLength(code), accepted);
}

QTEST_APPLESS_MAIN(TestInvitationCode)
#include "tst_invitationcode.moc"
