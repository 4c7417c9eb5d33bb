// Prints what the application launcher costs the main thread: the scan of
// N desktop entries at start-up (first start, when every row is new, and a
// later start, when every row is there), and one open-with query for a PNG
// file, for N = 100, 500 and 2000. Runs in a temporary home of its own.
#include "core/databasesqlite.h"
#include "desktop/applauncher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_DATA_DIRS", (home.filePath(QStringLiteral("none")) + QStringLiteral(":/usr/share")).toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    QCoreApplication app(argc, argv);
    const QString apps = home.filePath(QStringLiteral("data/applications"));
    QFile png(home.filePath(QStringLiteral("a.png")));
    png.open(QIODevice::WriteOnly);
    png.write(QByteArray("\x89PNG\r\n\x1a\n", 8));
    png.close();
    std::printf("%8s %14s %14s %14s %6s\n", "entries", "first scan ms", "later scan ms", "query ms", "rows");
    for (int count : {100, 500, 2000}) {
        QDir(apps).removeRecursively();
        QDir().mkpath(apps);
        for (int i = 0; i < count; ++i) {
            QFile f(apps + QStringLiteral("/app%1.desktop").arg(i));
            f.open(QIODevice::WriteOnly);
            f.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=App %1\nExec=/usr/bin/app%1 %f\n"
                                   "Icon=app%1\nMimeType=image/png;text/plain;text/x-app%1;application/x-app%1;\n"
                                   "Comment=An application\nCategories=Utility;\n")
                        .arg(i)
                        .toUtf8());
        }
        const QString dbPath = home.filePath(QStringLiteral("velm%1.db").arg(count));
        DatabaseSqlite db(dbPath, nullptr);
        QElapsedTimer t;
        t.start();
        { AppLauncher first(nullptr); }
        const double firstMs = t.nsecsElapsed() / 1e6;
        t.restart();
        AppLauncher later(nullptr);
        const double laterMs = t.nsecsElapsed() / 1e6;
        t.restart();
        later.selectFiles(QStringLiteral("{00000000-0000-0000-0000-000000000000}"), {png.fileName()});
        const double queryMs = t.nsecsElapsed() / 1e6;
        std::printf("%8d %14.1f %14.1f %14.1f %6d\n", count, firstMs, laterMs, queryMs, later.rowCount());
    }
    return 0;
}
