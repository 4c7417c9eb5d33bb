#pragma once

#include "core/uuid.h"

#include <QHash>
#include <QSqlQueryModel>
#include <QStringList>

#include <vector>

// The desktop applications of this machine and the file types each opens,
// kept in the tables apps, filetypes and app_filetypes of the default
// database connection. As a list model it offers the applications for the
// last selected files, those for the first file's own type first, each group
// with the most recently used first. It opens files with an application
// (started detached, its arguments built from the entry's Exec line) and
// hands files of another machine back through deferAppLaunch, for the Filer
// to copy them here and call launch again with the local copies.
//
// The Filer's wiring: selectFiles on every selection change; launchDefault
// (with the peer) on activation; launch(appId) from the open-with entries;
// deferAppLaunch to its deferred launch; launchFailed to its status bar.
class AppLauncher : public QSqlQueryModel
{
    Q_OBJECT
public:
    enum Roles { AppIdRole = 256, NameRole, AppIconRole, PathRole, FlagsRole };

    // The one launcher, made on first use with the application as parent.
    static AppLauncher* instance();
    // The one launcher when it has been made; null before (never makes one:
    // the scan and the database belong to whoever starts the program).
    static AppLauncher* current();

    // Scans the desktop entries into the tables and becomes the instance.
    explicit AppLauncher(QObject* parent);
    ~AppLauncher() override;

    // Where desktop entries are read, in order of precedence: the user's
    // data directory, then the other data directories ($XDG_DATA_HOME and
    // $XDG_DATA_DIRS with their defaults), each + "/applications".
    static QStringList applicationDirectories();

    // Sets the rows to the applications for these files of that peer.
    void selectFiles(const Uuid& peerUuid, const std::vector<QString>& paths);
    // The MIME type names the last selection was matched with, in order.
    QStringList selectedTypes() const;

    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    // The selection belongs to another peer: copy and launch again.
    void deferAppLaunch(int appId, Uuid peerUuid, std::vector<QString> paths);
    // A launch that did not happen, as a text for the status bar.
    void launchFailed(QString message);

public slots:
    // Selects the one file (of the last selection's peer) and opens it with
    // the first application for it.
    void launchDefault(QString path);
    // Selects the one file of that peer and opens it with the first
    // application for it.
    void launchDefault(Uuid peerUuid, QString path);
    // Opens the last selection with the application of that id.
    void launch(int appId);
    void launch(int appId, Uuid peerUuid, std::vector<QString> paths);

private:
    void scanDesktopFiles();
    void scanDesktopFile(const QString& file);
    void runSelection();
    void recordUse(int appId);

    class Private;
    Private* const d;
};
