// The Exec line of a desktop entry turned into program and arguments: the
// quoting rules of the standard, the field codes, and the file counts each
// code accepts.
#include "desktop/desktopexec.h"

#include <QTest>

Q_DECLARE_METATYPE(DesktopExec::Result)

class TstDesktopExec : public QObject
{
    Q_OBJECT

private slots:
    void expand_data()
    {
        QTest::addColumn<QString>("exec");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("command"); // program, then arguments

        const QStringList one{QStringLiteral("/h/a b.png")};
        const QStringList two{QStringLiteral("/h/1.txt"), QStringLiteral("/h/2 x.txt")};
        QTest::newRow("%f with one file") << "app %f" << one << int(DesktopExec::Ok)
                                          << QStringList{"app", "/h/a b.png"};
        QTest::newRow("%f with two files is refused") << "app %f" << two << int(DesktopExec::OneFileOnly)
                                                      << QStringList{};
        QTest::newRow("%u with two files is refused") << "app %u" << two << int(DesktopExec::OneFileOnly)
                                                      << QStringList{};
        QTest::newRow("%F: every path in order") << "app --x %F --y" << two << int(DesktopExec::Ok)
                                                 << QStringList{"app", "--x", "/h/1.txt", "/h/2 x.txt", "--y"};
        QTest::newRow("%U with no file") << "app %U" << QStringList{} << int(DesktopExec::NoFile) << QStringList{};
        QTest::newRow("no field code") << "app --fresh" << two << int(DesktopExec::Ok)
                                       << QStringList{"app", "--fresh"};
        QTest::newRow("quoted argument with a blank")
            << "app \"two words\" %f" << one << int(DesktopExec::Ok) << QStringList{"app", "two words", "/h/a b.png"};
        QTest::newRow("escaped quote inside quotes")
            << "app \"say \\\"hi\\\"\" %f" << one << int(DesktopExec::Ok)
            << QStringList{"app", "say \"hi\"", "/h/a b.png"};
        QTest::newRow("two blanks give no empty argument")
            << "app  %f" << one << int(DesktopExec::Ok) << QStringList{"app", "/h/a b.png"};
        QTest::newRow("option before %f") << "app --new-window %f" << one << int(DesktopExec::Ok)
                                          << QStringList{"app", "--new-window", "/h/a b.png"};
        QTest::newRow("%f inside an argument") << "app --open=%f" << one << int(DesktopExec::Ok)
                                               << QStringList{"app", "--open=/h/a b.png"};
        QTest::newRow("%% is a percent sign") << "app 100%% %f" << one << int(DesktopExec::Ok)
                                              << QStringList{"app", "100%", "/h/a b.png"};
        QTest::newRow("%i, %c, %k and deprecated codes")
            << "app %i --title=%c %k %d %f" << one << int(DesktopExec::Ok)
            << QStringList{"app", "--icon", "ico", "--title=Name", "/h/a b.png"};
        QTest::newRow("quoted program path") << "\"/opt/my app/run\" %f" << one << int(DesktopExec::Ok)
                                             << QStringList{"/opt/my app/run", "/h/a b.png"};
        QTest::newRow("unbalanced quote") << "app \"open %f" << one << int(DesktopExec::BadLine) << QStringList{};
        QTest::newRow("empty line") << "   " << one << int(DesktopExec::BadLine) << QStringList{};
        QTest::newRow("a code as program") << "%f" << one << int(DesktopExec::Ok) << QStringList{"/h/a b.png"};
        QTest::newRow("only a dropped code") << "%k" << one << int(DesktopExec::BadLine) << QStringList{};
    }

    void expand()
    {
        QFETCH(QString, exec);
        QFETCH(QStringList, paths);
        QFETCH(int, result);
        QFETCH(QStringList, command);
        QString program;
        QStringList arguments;
        const std::vector<QString> files(paths.begin(), paths.end());
        QCOMPARE(int(DesktopExec::expand(exec, files, QStringLiteral("Name"), QStringLiteral("ico"), &program,
                                         &arguments)),
                 result);
        if (result == DesktopExec::Ok)
            QCOMPARE(QStringList{program} + arguments, command);
        else
            QVERIFY(program.isEmpty() && arguments.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstDesktopExec)
#include "tst_desktopexec.moc"
