#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>

// One command of the file-manager window that has default keys: its id
// ("filer.copy"), its translated label and its shortcuts, the first being
// the one menus show.
struct FilerAction
{
    QString id;
    QString text;
    QList<QKeySequence> shortcuts;
};
