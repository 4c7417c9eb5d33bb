#include "desktop/applauncher.h"

#include <QCoreApplication>
#include <QPointer>

AppLauncher::AppLauncher(QObject* parent) : QSqlQueryModel(parent) {}

AppLauncher* AppLauncher::instance()
{
    static QPointer<AppLauncher> launcher;
    if (!launcher)
        launcher = new AppLauncher(QCoreApplication::instance());
    return launcher;
}
