#include "filer/filer.h"
#include "filer/filer_p.h"

// Trash, delete, new folder and rename.

void Filer::onTrashActionTriggered()
{
    d->act(QStringLiteral("trash"));
}

void Filer::onDeleteActionTriggered()
{
    d->act(QStringLiteral("delete"));
}

void Filer::onNewFolderActionTriggered()
{
    d->act(QStringLiteral("new-folder"));
}

void Filer::onRenameActionTriggered()
{
    d->act(QStringLiteral("rename"));
}

void Filer::onRenameEditDone(const QModelIndex&, const QString&) {}
