#include "filer/fileractiontable.h"

#include <QAction>
#include <QCoreApplication>
#include <QTranslator>
#include <QtTest>

class TestFilerActionTable : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void rows_data();
    void rows();
    void tableOrder();
    void unknownId();
    void actionFromRow();
};

void TestFilerActionTable::initTestCase()
{
    FilerActionTable::clear();
    FilerActionTable::build();
}

static QList<QKeySequence> keys(std::initializer_list<const char*> texts)
{
    QList<QKeySequence> out;
    for (const char* text : texts)
        out << QKeySequence(QString::fromLatin1(text));
    return out;
}

// With no translation installed the label is the text id; the English
// labels are checked against the shipped translation in the window test.
void TestFilerActionTable::rows_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QList<QKeySequence>>("shortcuts");

    QTest::newRow("cut") << "filer.cut" << "action-cut" << QKeySequence::keyBindings(QKeySequence::Cut);
    QTest::newRow("copy") << "filer.copy" << "action-copy" << QKeySequence::keyBindings(QKeySequence::Copy);
    QTest::newRow("copy-to") << "filer.copy-to" << "action-copy-to" << keys({ "F5" });
    QTest::newRow("move-to") << "filer.move-to" << "action-move-to" << keys({ "F6" });
    QTest::newRow("paste") << "filer.paste" << "action-paste" << QKeySequence::keyBindings(QKeySequence::Paste);
    QTest::newRow("trash: Delete, then F8")
        << "filer.trash" << "action-trash"
        << (QKeySequence::keyBindings(QKeySequence::Delete) << QKeySequence(Qt::Key_F8));
    QTest::newRow("delete...") << "filer.delete" << "action-delete..." << keys({ "Shift+Del" });
    QTest::newRow("new-folder...") << "filer.new-folder" << "action-new-folder..." << keys({ "Ctrl+Shift+N", "F7" });
    QTest::newRow("rename") << "filer.rename" << "action-rename" << keys({ "F2" });
    QTest::newRow("preview") << "filer.preview" << "action-preview" << keys({ "Space" });
    QTest::newRow("icons: Ctrl+3") << "filer.view-icons" << "action-icon-view" << keys({ "Ctrl+3" });
    QTest::newRow("list: Ctrl+1") << "filer.view-list" << "action-list-view" << keys({ "Ctrl+1" });
    QTest::newRow("columns: Ctrl+2") << "filer.view-column" << "action-column-view" << keys({ "Ctrl+2" });
    QTest::newRow("new-window") << "filer.new-window" << "action-new-window" << keys({ "Ctrl+N" });
    QTest::newRow("show-hidden") << "filer.show-hidden" << "action-show-hidden-items" << keys({ "Ctrl+H" });
    QTest::newRow("toggle-right") << "nodeview.toggle-right" << "action-toggle-rightpane" << keys({ "Ctrl+Down" });
    QTest::newRow("open-right") << "filer.open-right" << "action-in-rightpane" << keys({ "Ctrl+Right" });
    QTest::newRow("open-right-tab") << "filer.open-right-tab" << "action-in-rightpanetab" << keys({ "Shift+Right" });
    QTest::newRow("open-left") << "filer.open-left" << "action-in-leftpane" << keys({ "Ctrl+Left" });
    QTest::newRow("open-left-tab") << "filer.open-left-tab" << "action-in-leftpanetab" << keys({ "Shift+Left" });
    QTest::newRow("open-in-tab") << "filer.open-in-tab" << "action-openin-tab" << keys({ "Shift+Enter", "Shift+Return" });
    QTest::newRow("show-props") << "filer.show-props" << "action-show-props" << keys({ "Alt+Enter", "Alt+Return" });
    QTest::newRow("show-inexplorer") << "filer.show-inexplorer" << "action-reveal-explorer" << keys({ "Ctrl+Alt+O" });
}

void TestFilerActionTable::rows()
{
    QFETCH(QString, id);
    QFETCH(QString, label);
    QFETCH(QList<QKeySequence>, shortcuts);
    const FilerAction row = FilerActionTable::find(id);
    QCOMPARE(row.id, id);
    QCOMPARE(row.text, label);
    QCOMPARE(row.shortcuts, shortcuts);
}

void TestFilerActionTable::tableOrder()
{
    const QList<FilerAction> rows = FilerActionTable::rows();
    QCOMPARE(rows.size(), 23);
    QCOMPARE(rows.first().id, QStringLiteral("filer.cut"));
    QCOMPARE(rows.at(10).id, QStringLiteral("filer.view-icons"));
    QCOMPARE(rows.at(11).id, QStringLiteral("filer.view-list"));
    QCOMPARE(rows.at(12).id, QStringLiteral("filer.view-column"));
    QCOMPARE(rows.last().id, QStringLiteral("filer.show-inexplorer"));
    QStringList ids;
    for (const FilerAction& row : rows)
        ids << row.id;
    QCOMPARE(ids.removeDuplicates(), 0);
}

void TestFilerActionTable::unknownId()
{
    for (const QString& id : { QStringLiteral("filer.nothing"), QStringLiteral("FILER.COPY"), QString() }) {
        const FilerAction row = FilerActionTable::find(id);
        QVERIFY(row.id.isEmpty());
        QVERIFY(row.text.isEmpty());
        QVERIFY(row.shortcuts.isEmpty());
    }
}

void TestFilerActionTable::actionFromRow()
{
    QObject owner;
    QAction* action = FilerActionTable::createAction(QStringLiteral("filer.new-folder"), &owner);
    QCOMPARE(action->parent(), &owner);
    QCOMPARE(action->text(), QStringLiteral("action-new-folder..."));
    QCOMPARE(action->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+N")));
    QCOMPARE(action->shortcuts().size(), 2);
}

QTEST_MAIN(TestFilerActionTable)
#include "tst_fileractiontable.moc"
