#include "desktop/applauncher.h"

#include "core/logger.h"
#include "desktop/desktopexec.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QMimeDatabase>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <glib.h>

namespace {

QPointer<AppLauncher>& theInstance()
{
    static QPointer<AppLauncher> launcher;
    return launcher;
}

const QString OwnPeer = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
const char* const OctetStream = "application/octet-stream";
// Desktop entries larger than this are not read.
constexpr qint64 MaxDesktopFileBytes = 1024 * 1024;

// A value of the [Desktop Entry] group, unescaped; empty when missing.
QString entryString(GKeyFile* file, const char* key)
{
    gchar* value = g_key_file_get_string(file, G_KEY_FILE_DESKTOP_GROUP, key, nullptr);
    const QString text = value ? QString::fromUtf8(value) : QString();
    g_free(value);
    return text;
}

bool entryTrue(GKeyFile* file, const char* key)
{
    // Anything but "true" is false, as in the standard; a malformed value too.
    GError* error = nullptr;
    const gboolean value = g_key_file_get_boolean(file, G_KEY_FILE_DESKTOP_GROUP, key, &error);
    g_clear_error(&error);
    return value;
}

} // namespace

class AppLauncher::Private
{
public:
    QMap<QString, QStringList> mimeParents;
    QHash<int, QByteArray> roles;
    Uuid peerUuid = OwnPeer;
    std::vector<QString> paths;
    QStringList types; // of the last selection, the first file's own type first
};

AppLauncher* AppLauncher::instance()
{
    if (!theInstance())
        new AppLauncher(QCoreApplication::instance());
    return theInstance();
}

AppLauncher* AppLauncher::current()
{
    return theInstance();
}

AppLauncher::AppLauncher(QObject* parent) : QSqlQueryModel(parent), d(new Private)
{
    qRegisterMetaType<std::vector<QString>>("std::vector<QString>");
    d->roles = {{AppIdRole, "appid"}, {NameRole, "name"}, {AppIconRole, "appicon"}, {PathRole, "path"},
                {FlagsRole, "flags"}};
    scanDesktopFiles();
    theInstance() = this;
}

AppLauncher::~AppLauncher()
{
    delete d;
}

QStringList AppLauncher::applicationDirectories()
{
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty() || !QDir::isAbsolutePath(home))
        home = QDir::homePath() + QStringLiteral("/.local/share");
    QString others = qEnvironmentVariable("XDG_DATA_DIRS");
    if (others.isEmpty())
        others = QStringLiteral("/usr/local/share:/usr/share");
    QStringList dirs{home + QStringLiteral("/applications")};
    for (const QString& dir : others.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!QDir::isAbsolutePath(dir))
            continue; // relative entries are invalid by the standard
        const QString apps = QDir::cleanPath(dir) + QStringLiteral("/applications");
        if (!dirs.contains(apps))
            dirs.append(apps);
    }
    return dirs;
}

void AppLauncher::scanDesktopFiles()
{
    // A desktop file id (its path below the directory, '/' as '-') seen in
    // a directory of higher precedence hides the same id further down.
    QSet<QString> seen;
    // One transaction for the whole scan: a statement each in a transaction
    // of its own would wait for the disk hundreds of times at start-up.
    QSqlDatabase db = QSqlDatabase::database();
    const bool inTransaction = db.transaction();
    for (const QString& dir : applicationDirectories()) {
        QStringList files;
        QDirIterator it(dir, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(it.next());
        files.sort();
        for (const QString& file : files) {
            const QString id = QDir(dir).relativeFilePath(file).replace(QLatin1Char('/'), QLatin1Char('-'));
            if (seen.contains(id))
                continue;
            seen.insert(id);
            scanDesktopFile(file);
        }
    }
    if (inTransaction && !db.commit()) {
        Logger::log(Logger::DB1, "failed to store the scanned applications %s", qUtf8Printable(db.lastError().text()));
        db.rollback();
    }
}

void AppLauncher::scanDesktopFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > MaxDesktopFileBytes)
        return;
    GKeyFile* file = g_key_file_new();
    GError* error = nullptr;
    const bool loaded = g_key_file_load_from_file(file, QFile::encodeName(path).constData(), G_KEY_FILE_NONE, &error);
    g_clear_error(&error);
    QString name, exec, icon, mimeTypes;
    bool usable = loaded && g_key_file_has_group(file, G_KEY_FILE_DESKTOP_GROUP);
    if (usable) {
        // A terminal program would start without a terminal; a hidden entry
        // counts as deleted; only applications open files.
        usable = !entryTrue(file, "Terminal") && !entryTrue(file, "Hidden")
                 && entryString(file, "Type") == QLatin1String("Application");
        name = entryString(file, "Name");
        exec = entryString(file, "Exec");
        icon = entryString(file, "Icon");
        mimeTypes = entryString(file, "MimeType");
    }
    g_key_file_free(file);
    if (!usable || name.isEmpty() || exec.isEmpty() || icon.isEmpty() || mimeTypes.isEmpty())
        return;

    QSqlDatabase db = QSqlDatabase::database();
    int appId = -1;
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT id, name, icon FROM apps WHERE path = :path"));
    q.bindValue(QStringLiteral(":path"), exec);
    if (!q.exec()) {
        Logger::log(Logger::DB1, "failed select id from apps %s", qUtf8Printable(q.lastError().text()));
        return;
    }
    if (q.next()) {
        if (q.value(1).toString() == name && q.value(2).toString() == icon) {
            appId = q.value(0).toInt();
        } else {
            const int old = q.value(0).toInt();
            QSqlQuery del(db);
            del.prepare(QStringLiteral("DELETE FROM apps WHERE id = :id"));
            del.bindValue(QStringLiteral(":id"), old);
            if (!del.exec()) {
                Logger::log(Logger::DB1, "failed remove app with id: %d, %s", old,
                            qUtf8Printable(del.lastError().text()));
                return;
            }
        }
    }
    if (appId < 0) {
        QSqlQuery ins(db);
        ins.prepare(QStringLiteral("INSERT INTO apps (name,icon,path,flags) VALUES (:name,:icon,:path,0)"));
        ins.bindValue(QStringLiteral(":name"), name);
        ins.bindValue(QStringLiteral(":icon"), icon);
        ins.bindValue(QStringLiteral(":path"), exec);
        if (!ins.exec()) {
            Logger::log(Logger::DB1, "failed to insert entry to apps %s", qUtf8Printable(ins.lastError().text()));
            return;
        }
        bool ok = false;
        appId = ins.lastInsertId().toInt(&ok);
        if (!ok) {
            Logger::log(Logger::DB1, "failed select created id from apps %s", qUtf8Printable(ins.lastError().text()));
            return;
        }
    }
    for (const QString& type : mimeTypes.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString t = type.trimmed();
        if (t.isEmpty())
            continue;
        QSqlQuery ft(db);
        ft.prepare(QStringLiteral("INSERT INTO filetypes (type,flags) VALUES (:type,0)"));
        ft.bindValue(QStringLiteral(":type"), t);
        if (!ft.exec()) {
            Logger::log(Logger::DB1, "failed to insert entry to filetypes %s", qUtf8Printable(ft.lastError().text()));
            continue;
        }
        QSqlQuery link(db);
        link.prepare(QStringLiteral("INSERT INTO app_filetypes (app_id,type_id) "
                                    "SELECT :a, id FROM filetypes WHERE type = :type"));
        link.bindValue(QStringLiteral(":a"), appId);
        link.bindValue(QStringLiteral(":type"), t);
        if (!link.exec())
            Logger::log(Logger::DB1, "failed to insert entry to app_filetypes %s",
                        qUtf8Printable(link.lastError().text()));
    }
}

void AppLauncher::selectFiles(const Uuid& peerUuid, const std::vector<QString>& paths)
{
    QMimeDatabase mimes;
    QStringList types;
    auto add = [&types](const QString& name) {
        if (!name.isEmpty() && !types.contains(name))
            types.append(name);
    };
    for (const QString& path : paths) {
        const QMimeType type = mimes.mimeTypeForFile(path);
        add(type.name());
        for (const QString& alias : type.aliases())
            add(alias);
        for (const QMimeType& byName : mimes.mimeTypesForFileName(path))
            add(byName.name());
        auto cached = d->mimeParents.constFind(type.name());
        if (cached == d->mimeParents.constEnd()) {
            QStringList parents = type.allAncestors();
            parents.removeAll(QLatin1String(OctetStream));
            cached = d->mimeParents.insert(type.name(), parents);
        }
        for (const QString& parent : *cached)
            add(parent);
    }
    if (types.isEmpty()) {
        clear();
        return;
    }
    d->peerUuid = peerUuid;
    d->paths = paths;
    d->types = types;
    runSelection();
}

QStringList AppLauncher::selectedTypes() const
{
    return d->types;
}

void AppLauncher::runSelection()
{
    // Each application once, ranked by its best row: registered for the
    // first file's own type first, then by the last use (for that type, or
    // for any of the types otherwise), then by name.
    QStringList marks;
    for (int i = 0; i < d->types.size(); ++i)
        marks.append(QStringLiteral("?"));
    const QString text = QStringLiteral(
        "SELECT a.id, a.name, a.icon, a.path, a.flags FROM apps AS a "
        "JOIN app_filetypes AS af ON a.id = af.app_id JOIN filetypes AS f ON f.id = af.type_id "
        "WHERE f.type IN (%1) GROUP BY a.id "
        "ORDER BY MAX(f.type = ?) DESC, "
        "COALESCE(MAX(CASE WHEN f.type = ? THEN af.last_used_timestamp END), MAX(af.last_used_timestamp)) DESC, "
        "a.name, a.id").arg(marks.join(QLatin1Char(',')));
    QSqlQuery q(QSqlDatabase::database());
    q.prepare(text);
    for (const QString& type : qAsConst(d->types))
        q.addBindValue(type);
    q.addBindValue(d->types.first());
    q.addBindValue(d->types.first());
    Logger::log(Logger::DB1, "%s", qUtf8Printable(text));
    if (!q.exec())
        Logger::log(Logger::DB1, "failed to select applications %s", qUtf8Printable(q.lastError().text()));
    setQuery(q);
    while (canFetchMore())
        fetchMore();
}

QVariant AppLauncher::data(const QModelIndex& index, int role) const
{
    if (role < AppIdRole)
        return QSqlQueryModel::data(index, role);
    return QSqlQueryModel::data(this->index(index.row(), role - AppIdRole), Qt::DisplayRole);
}

QHash<int, QByteArray> AppLauncher::roleNames() const
{
    return d->roles;
}

void AppLauncher::launchDefault(QString path)
{
    launchDefault(d->peerUuid, path);
}

void AppLauncher::launchDefault(Uuid peerUuid, QString path)
{
    if (path.isEmpty())
        return;
    selectFiles(peerUuid, {path});
    if (rowCount() > 0)
        launch(data(index(0, 0), AppIdRole).toInt());
}

void AppLauncher::launch(int appId, Uuid peerUuid, std::vector<QString> paths)
{
    d->peerUuid = peerUuid;
    d->paths = std::move(paths);
    launch(appId);
}

void AppLauncher::launch(int appId)
{
    if (d->peerUuid != OwnPeer && !d->paths.empty()) {
        emit deferAppLaunch(appId, d->peerUuid, d->paths);
        return;
    }
    QSqlQuery q(QSqlDatabase::database());
    q.prepare(QStringLiteral("SELECT name, path, icon FROM apps WHERE id = :id"));
    q.bindValue(QStringLiteral(":id"), appId);
    if (!q.exec()) {
        Logger::log(Logger::DB1, "failed select id from apps %s", qUtf8Printable(q.lastError().text()));
        return;
    }
    if (!q.next()) {
        Logger::log(Logger::DB1, "failed get app with id %d", appId);
        return;
    }
    const QString name = q.value(0).toString();
    const QString exec = q.value(1).toString();
    const QString icon = q.value(2).toString();
    q.finish();

    QString program;
    QStringList arguments;
    switch (DesktopExec::expand(exec, d->paths, name, icon, &program, &arguments)) {
    case DesktopExec::Ok:
        break;
    case DesktopExec::OneFileOnly:
        Logger::log(Logger::NFO1, "failed (1) to launch app with id %d, invalid file count selected (%u)", appId,
                    unsigned(d->paths.size()));
        //% "%1 opens only one file at a time"
        emit launchFailed(qtTrId("launcher-one-file").arg(name));
        return;
    case DesktopExec::NoFile:
        Logger::log(Logger::NFO1, "failed (2) to launch app with id %d, invalid file count selected (%u)", appId, 0u);
        return;
    case DesktopExec::BadLine:
        Logger::log(Logger::NFO1, "cannot read the command line of app %d: %s", appId, qUtf8Printable(exec));
        //% "Could not start %1"
        emit launchFailed(qtTrId("launcher-start-failed").arg(name));
        return;
    }

    recordUse(appId);
    if (!d->types.isEmpty())
        runSelection();

    Logger::log(Logger::NFO1, "launch app: %d, %s %s %s", appId, qUtf8Printable(name), qUtf8Printable(program),
                qUtf8Printable(arguments.join(QLatin1Char(' '))));
    // Detached: nothing of the started program stays with this process.
    if (!QProcess::startDetached(program, arguments, QDir::homePath())) {
        Logger::log(Logger::NFO1, "failed to start %s", qUtf8Printable(program));
        emit launchFailed(qtTrId("launcher-start-failed").arg(name));
    }
}

void AppLauncher::recordUse(int appId)
{
    QMimeDatabase mimes;
    QStringList types;
    for (const QString& path : d->paths) {
        const QMimeType type = mimes.mimeTypeForFile(path);
        if (!types.contains(type.name()))
            types.append(type.name());
        for (const QString& alias : type.aliases()) {
            if (!types.contains(alias))
                types.append(alias);
        }
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QSqlDatabase db = QSqlDatabase::database();
    for (const QString& type : qAsConst(types)) {
        QSqlQuery ft(db);
        ft.prepare(QStringLiteral("INSERT INTO filetypes (type,flags) VALUES (?,0)"));
        ft.addBindValue(type);
        if (!ft.exec())
            Logger::log(Logger::DB1, "failed update filetypes %s", qUtf8Printable(ft.lastError().text()));
        QSqlQuery use(db);
        use.prepare(QStringLiteral("INSERT INTO app_filetypes(app_id,type_id,last_used_timestamp) VALUES "
                                   "(?,(SELECT id FROM filetypes WHERE type = ?),?) ON CONFLICT(app_id,type_id) "
                                   "DO UPDATE SET last_used_timestamp = excluded.last_used_timestamp"));
        use.addBindValue(appId);
        use.addBindValue(type);
        use.addBindValue(now);
        if (!use.exec())
            Logger::log(Logger::DB1, "failed update app_filetypes %s", qUtf8Printable(use.lastError().text()));
    }
}
