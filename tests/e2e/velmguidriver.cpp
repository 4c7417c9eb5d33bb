// velmguidriver: the real main window over the real network side, driven
// through its invitation dialogs for end-to-end tests (offscreen).
//
// Starts like the program (settings in --config-dir, velm.db, the watcher,
// the peer and invitation models, the connection manager on an io thread,
// the main window), switches networking on through the window once the
// manager has started, prints {"event":"ready"} and reads one command per
// line on stdin; each is answered with one line of JSON carrying "ok".
//
//   create                    {"url", "code", "id"}  Remote > Create invitation...,
//                                                    then the dialog's create button
//   accept <text|-> <code>    {"valid"}              Remote > Add by invitation..., the
//                                                    text ("-": none) and the code typed,
//                                                    then the accept button when valid
//   peers                     {"peers": [{"uuid", "name", "state"}]}  the other peers
//   machines                  {"rows": [{"name", "state"}]}  the machine list page's rows
//   share <peer> <path>       {"share"}              a readable folder share
//   list <peer> <path>        {"status", "entries": [{"name", "type"}]}
//   dropcopy <peer> <name> <dst>  {"copied"}         the left pane shows the first folder
//                                                    <peer> shares, as its peer page opens
//                                                    it, the right one this machine's <dst>;
//                                                    <name> is dragged from left to right
//                                                    and "Copy here" chosen; true once the
//                                                    file is there
//   filer <peer> <share>      {"path", "complete", "names"}  the window's active Filer on
//                                                    the peer's page, then in the share of
//                                                    that name: the names its proxy lists
//   quit                      {} and the process ends
//
// The clipboard through the panes (the actions are triggered as the keys do):
//   pane <left|right> <peer|own> <path>  {"path"}  that pane active, its Filer
//                                                  on the peer, at the path
//   select <name>...          {"selected"}           entries of the shown folder
//   copy | cut | paste        {"entries"}            the shared actions
//   moveto <path> | copyto <path>  {}               Move to / Copy to, the
//                                                    dialog answered with path
//   jobs                      {"jobs": [{"title", "state", "prompt", "failure",
//                                        "alive"}]}  the job windows, oldest first
//   answer <n> <skip|replace|replaceall|abort>  {}  a button of job window n
//   share-edit <peer> <path>  {"share"}             a folder share the peer may edit
//
// Sharing through the active Filer and the share window (its check boxes
// and buttons used as a click does):
//   sharewith <peer> <view|edit>  {"share", "flags", "new", "at"}  the context
//                                                    menu's Share with > <peer> on the
//                                                    selection (or the shown folder), the
//                                                    choice made, Share (Save) clicked;
//                                                    answered once the window closed, "at"
//                                                    the click's time (ms since the epoch)
//   editshare <peer> <share> <view|edit|remove>  {"share", "flags", "at"}  the peer's page,
//                                                    "Your shared items", the share's edit,
//                                                    then Save or Remove share ("flags" 0
//                                                    once removed)
//   peershares <peer>         {"shares": [{"name", "path"}]}  the rows of the peer page's
//                                                    "Shared items" as shown now
//   mkdir <name>              {"made", "status", "enabled"}  New folder on the shown folder,
//                                                    the name typed into its dialog; once the
//                                                    folder is listed or the status bar
//                                                    shows why not ("enabled": the action's
//                                                    state before, as the Filer had it)

#include "core/appsettings.h"
#include "core/databasesqlite.h"
#include "core/logger.h"
#include "core/machineclassifier.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharedactions.h"
#include "jobs/vfscopydto.h"
#include "jobwindow/jobwindow.h"
#include "jobwindow/jobwindows.h"
#include "manager/connectionmanager.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/invitationmodel.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "share/sharewithdialog.h"
#include "support/driver/driverstartup.h"
#include "support/idtranslator.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/watch/vfswatcher.h"
#include "window/mainwindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDropEvent>
#include <QFileInfo>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QQuickWidget>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QStatusBar>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

namespace {

const char* linkStateName(int state)
{
    switch (state) {
    case IPeer::LinkDown:
        return "LinkDown";
    case IPeer::LinkReachable:
        return "LinkReachable";
    case IPeer::LinkConnecting:
        return "LinkConnecting";
    case IPeer::LinkUp:
        return "LinkUp";
    }
    return "unknown";
}

void answer(QJsonObject result)
{
    if (!result.contains(QStringLiteral("ok")))
        result.insert(QStringLiteral("ok"), true);
    std::cout << QJsonDocument(result).toJson(QJsonDocument::Compact).toStdString() << std::endl;
}

QJsonObject failure(const QString& why)
{
    return QJsonObject{ { QStringLiteral("ok"), false }, { QStringLiteral("error"), why } };
}

// Calls done once test() holds (checked every 20 ms), or with false after
// limitMs.
void whenTrue(std::function<bool()> test, int limitMs, std::function<void(bool)> done)
{
    auto* timer = new QTimer;
    auto started = std::make_shared<qint64>(QDateTime::currentMSecsSinceEpoch());
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, test, done, started, limitMs] {
        const bool holds = test();
        if (!holds && QDateTime::currentMSecsSinceEpoch() - *started < limitMs)
            return;
        timer->stop();
        timer->deleteLater();
        done(holds);
    });
    timer->start();
}

QQuickItem* findItem(QQuickItem* root, const QString& name)
{
    if (root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = findItem(child, name))
            return found;
    }
    return nullptr;
}

} // namespace

class GuiDriver : public QObject
{
public:
    GuiDriver(MainWindow* window, DatabaseSqlite* db, PeerModel* model) : m_window(window), m_db(db), m_model(model) {}

    void enqueue(const QString& line)
    {
        m_queue << line;
        if (!m_busy)
            next();
    }

private:
    void next()
    {
        if (m_queue.isEmpty()) {
            m_busy = false;
            return;
        }
        m_busy = true;
        const QStringList words = m_queue.takeFirst().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString command = words.value(0);
        auto reply = [this](const QJsonObject& result) {
            answer(result);
            QTimer::singleShot(0, this, [this] { next(); });
        };
        if (command == QLatin1String("create"))
            create(reply);
        else if (command == QLatin1String("accept"))
            accept(words.value(1) == QLatin1String("-") ? QString() : words.value(1), words.value(2), reply);
        else if (command == QLatin1String("peers"))
            reply(peers());
        else if (command == QLatin1String("machines"))
            reply(machines());
        else if (command == QLatin1String("share"))
            reply(share(words.value(1), words.value(2)));
        else if (command == QLatin1String("list"))
            list(words.value(1), words.value(2), reply);
        else if (clipboardCommand(command, words, reply))
            return;
        else if (sharingCommand(command, words, reply))
            return;
        else if (command == QLatin1String("dropcopy"))
            dropCopy(words.value(1), words.value(2), words.value(3), reply);
        else if (command == QLatin1String("filer"))
            filer(words.value(1), words.value(2), reply);
        else if (command == QLatin1String("quit")) {
            answer(QJsonObject());
            m_machineList.reset();
            m_host.reset();
            m_window->close();
        } else
            reply(failure(QStringLiteral("unknown command")));
    }

    QAction* action(const char* name) const { return m_window->findChild<QAction*>(QLatin1String(name)); }

    void create(std::function<void(const QJsonObject&)> reply)
    {
        QAction* create = action("createInvitationAction");
        if (!create || !create->isEnabled())
            return reply(failure(QStringLiteral("Create invitation... is not enabled")));
        create->trigger();
        whenTrue([this] {
            QObject* dialog = m_window->createInviteDialog();
            return dialog && dialog->property("visible").toBool();
        }, 20000, [this, reply](bool shown) {
            if (!shown)
                return reply(failure(QStringLiteral("the create dialog did not open")));
            QObject* dialog = m_window->createInviteDialog();
            const QJsonObject result{ { QStringLiteral("url"), dialog->property("url").toString() },
                                      { QStringLiteral("code"), dialog->property("password").toString() },
                                      { QStringLiteral("id"), dialog->property("uuid").toString() } };
            QMetaObject::invokeMethod(dialog, "accept");
            reply(result);
        });
    }

    void accept(const QString& text, const QString& code, std::function<void(const QJsonObject&)> reply)
    {
        QAction* add = action("addInvitationAction");
        if (!add || !add->isEnabled())
            return reply(failure(QStringLiteral("Add by invitation... is not enabled")));
        add->trigger();
        QPointer<QObject> dialog = m_window->processInviteDialog();
        if (!dialog)
            return reply(failure(QStringLiteral("the accept dialog did not open")));
        whenTrue([dialog] { return dialog && dialog->property("validation").toString() == QLatin1String("empty"); },
                 20000, [dialog, text, code, reply](bool ready) {
            if (!ready)
                return reply(failure(QStringLiteral("the accept dialog did not start")));
            QMetaObject::invokeMethod(dialog, "setInvitation", Q_ARG(QVariant, text), Q_ARG(QVariant, code));
            whenTrue([dialog] {
                const QString state = dialog ? dialog->property("validation").toString() : QString();
                return state == QLatin1String("valid") || state == QLatin1String("invalid");
            }, 20000, [dialog, reply](bool) {
                const bool valid = dialog && dialog->property("validation").toString() == QLatin1String("valid");
                if (valid)
                    QMetaObject::invokeMethod(dialog, "accept");
                reply(QJsonObject{ { QStringLiteral("valid"), valid } });
            });
        });
    }

    QJsonObject peers() const
    {
        QJsonArray list;
        for (int row = 0; row < m_model->rowCount(); ++row) {
            IPeer* peer = m_model->getPeerForRow(row);
            if (!peer || peer->uuid() == ownPeerUuid())
                continue;
            list.append(QJsonObject{ { QStringLiteral("uuid"), peer->uuid() },
                                     { QStringLiteral("name"), peer->name() },
                                     { QStringLiteral("state"), QLatin1String(linkStateName(peer->linkState())) } });
        }
        return QJsonObject{ { QStringLiteral("peers"), list } };
    }

    // The rows of a machine list page on the window's engine, as shown.
    QJsonObject machines()
    {
        if (!m_machineList) {
            QQmlComponent component(m_window->engine(), QUrl(QStringLiteral("qrc:/qml/MachineList.qml")));
            m_machineList.reset(qobject_cast<QQuickItem*>(component.create()));
            if (!m_machineList)
                return failure(component.errorString());
            m_host.reset(new QQuickWindow);
            m_host->resize(300, 600);
            m_machineList->setParentItem(m_host->contentItem());
            m_machineList->setSize(QSizeF(300, 600));
            m_host->show();
        }
        QQuickItem* view = findItem(m_machineList.get(), QStringLiteral("machineListView"));
        QJsonArray rows;
        if (view) {
            for (QQuickItem* row : view->property("contentItem").value<QQuickItem*>()->childItems()) {
                if (!row->property("peer").isValid())
                    continue;
                rows.append(QJsonObject{ { QStringLiteral("name"), row->property("peerName").toString() },
                                         { QStringLiteral("state"), row->property("state").toString() } });
            }
        }
        return QJsonObject{ { QStringLiteral("rows"), rows } };
    }

    QJsonObject share(const QString& peerUuid, const QString& path)
    {
        if (!m_model->getPeerForUuid(peerUuid) || path.isEmpty())
            return failure(QStringLiteral("usage: share <peer> <path>"));
        PeerAclDto acl;
        acl.uuid = QUuid::createUuid().toString();
        acl.name = QFileInfo(path).fileName();
        acl.selector = path;
        acl.flags = 1u | 4u;
        acl.timestamp = QDateTime::currentDateTimeUtc();
        if (!m_db->putAcl(peerUuid, acl))
            return failure(QStringLiteral("the share could not be stored"));
        return QJsonObject{ { QStringLiteral("share"), acl.uuid } };
    }

    void list(const QString& peerUuid, const QString& path, std::function<void(const QJsonObject&)> reply)
    {
        auto* peer = qobject_cast<PeerVelm*>(m_model->getPeerForUuid(peerUuid));
        VfsClientVelm* client = peer ? peer->client() : nullptr;
        if (!client || path.isEmpty())
            return reply(failure(QStringLiteral("usage: list <peer> <path>")));
        auto* job = new VfsListDirectoryJob;
        job->path = path;
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = connect(client, &VfsClient::listDirectoryUpdate, this,
                              [job, connection, reply](VfsListDirectoryJob* update) {
            if (update != job)
                return;
            disconnect(*connection);
            QJsonArray entries;
            {
                QMutexLocker lock(&job->mutex);
                for (const VfsDirectoryEntry& entry : job->entries)
                    entries.append(QJsonObject{ { QStringLiteral("name"), entry.name },
                                                { QStringLiteral("type"), int(entry.type) } });
            }
            const bool ok = job->jobStatus == VfsClientJob::JobFinished && job->status == FSO_STATUS_COMPLETE;
            reply(QJsonObject{ { QStringLiteral("ok"), ok },
                               { QStringLiteral("status"), int(job->status) },
                               { QStringLiteral("entries"), entries } });
            delete job;
        }, Qt::QueuedConnection);
        client->listDirectory(job);
    }

    // ---- the clipboard through the panes
    using Reply = std::function<void(const QJsonObject&)>;

    bool clipboardCommand(const QString& command, const QStringList& words, Reply reply)
    {
        if (command == QLatin1String("pane"))
            pane(words.value(1), words.value(2), words.mid(3).join(QLatin1Char(' ')), reply);
        else if (command == QLatin1String("select"))
            select(words.mid(1), reply);
        else if (command == QLatin1String("copy") || command == QLatin1String("cut")
                 || command == QLatin1String("paste"))
            reply(trigger(command));
        else if (command == QLatin1String("moveto") || command == QLatin1String("copyto"))
            copyTo(command == QLatin1String("moveto"), words.mid(1).join(QLatin1Char(' ')), reply);
        else if (command == QLatin1String("jobs"))
            reply(jobs());
        else if (command == QLatin1String("answer"))
            reply(answerJob(words.value(1).toInt(), words.value(2)));
        else if (command == QLatin1String("share-edit"))
            reply(shareEditable(words.value(1), words.value(2)));
        else
            return false;
        return true;
    }

    void pane(const QString& side, const QString& peerUuid, const QString& path, Reply reply)
    {
        const QList<FilerPane*> panes = m_window->filerPanes();
        IPeer* peer = m_model->getPeerForUuid(peerUuid == QLatin1String("own") ? ownPeerUuid() : peerUuid);
        if (panes.size() < 2 || !peer || path.isEmpty())
            return reply(failure(QStringLiteral("usage: pane <left|right> <peer|own> <path>")));
        FilerPane* pane = side == QLatin1String("right") ? panes.last() : panes.first();
        if (pane == panes.last())
            m_window->showAlternateFilerPane();
        m_window->filerHub()->setActiveFilerPane(pane);
        Filer* filer = pane->currentFiler();
        if (!filer)
            return reply(failure(QStringLiteral("the pane has no Filer")));
        m_window->filerHub()->setActiveFiler(pane, filer);
        filer->setPeer(peer);
        filer->gotoPath(path);
        QPointer<Filer> guard(filer);
        // A share is shown under the path its peer gives it.
        auto reached = [guard, path] {
            if (!guard)
                return false;
            const QString shown = guard->path();
            if (shown == path)
                return true;
            return path.startsWith(QLatin1String("%shares/")) && !shown.isEmpty() && guard->pendingPath().isEmpty()
                   && shown.endsWith(path.mid(path.lastIndexOf(QLatin1Char('/'))));
        };
        whenTrue(reached, 60000, [guard, path, reply](bool shown) {
            if (!shown) {
                QStringList children;
                auto* model = guard && guard->peer() ? qobject_cast<VfsModel*>(guard->peer()->vfsFileSystemModel())
                                                     : nullptr;
                const QModelIndex shares = model ? model->indexForPath(QStringLiteral("%shares")) : QModelIndex();
                for (int row = 0; model && row < model->rowCount(shares); ++row)
                    children << model->index(row, 0, shares).data(VfsModel::PathRole).toString();
                return reply(failure(QStringLiteral("the Filer did not reach ") + path + QStringLiteral(", it shows \"")
                                     + (guard ? guard->path() : QString()) + QStringLiteral("\", pending \"")
                                     + (guard ? guard->pendingPath() : QString()) + QStringLiteral("\", shares: ")
                                     + children.join(QLatin1Char(','))));
            }
            reply(QJsonObject{ { QStringLiteral("path"), guard->path() } });
        });
    }

    void select(const QStringList& names, Reply reply)
    {
        QPointer<Filer> filer = m_window->filerHub()->activeFiler();
        if (!filer || names.isEmpty())
            return reply(failure(QStringLiteral("usage: select <name>...")));
        // By name among the rows of the shown folder.
        auto indexes = [filer, names] {
            QModelIndexList found;
            QAbstractItemView* view = filer ? filer->currentView() : nullptr;
            if (!view || !filer->proxy())
                return found;
            const QModelIndex root = view->rootIndex();
            // The window is never shown, so no view asks for the rows.
            if (filer->proxy()->canFetchMore(root))
                filer->proxy()->fetchMore(root);
            for (const QString& name : names) {
                for (int row = 0; row < filer->proxy()->rowCount(root); ++row) {
                    const QModelIndex index = filer->proxy()->index(row, 0, root);
                    if (index.data(VfsModel::NameRole).toString() == name) {
                        found << index;
                        break;
                    }
                }
            }
            return found;
        };
        whenTrue([indexes, names] { return indexes().size() == names.size(); }, 60000,
                 [filer, indexes, reply](bool loaded) {
            if (!loaded || !filer) {
                QStringList shown;
                QAbstractItemView* view = filer ? filer->currentView() : nullptr;
                for (int row = 0; view && row < filer->proxy()->rowCount(view->rootIndex()); ++row)
                    shown << filer->proxy()->index(row, 0, view->rootIndex()).data(VfsModel::PathRole).toString();
                return reply(failure(QStringLiteral("not every entry is loaded in ")
                                     + (filer ? filer->path() : QString()) + QStringLiteral(": ")
                                     + shown.join(QLatin1Char(','))));
            }
            filer->selectionModel()->clearSelection();
            for (const QModelIndex& index : indexes())
                filer->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
            reply(QJsonObject{ { QStringLiteral("selected"), filer->selectionModel()->selectedRows().size() } });
        });
    }

    QJsonObject trigger(const QString& command)
    {
        QAction* action = command == QLatin1String("copy")  ? SharedActions::copy.data()
                          : command == QLatin1String("cut") ? SharedActions::cut.data()
                                                            : SharedActions::paste.data();
        if (!action)
            return failure(QStringLiteral("no such action"));
        if (action != SharedActions::paste.data())
            action->setEnabled(true);
        if (!action->isEnabled())
            return failure(command + QStringLiteral(" is not enabled"));
        action->trigger();
        return QJsonObject{ { QStringLiteral("entries"), int(m_window->filerHub()->clipboard()->entries.size()) } };
    }

    void copyTo(bool move, const QString& path, Reply reply)
    {
        QAction* action = move ? SharedActions::moveTo.data() : SharedActions::copyTo.data();
        QAction* source = move ? SharedActions::cut.data() : SharedActions::copy.data();
        if (!action || !source)
            return reply(failure(QStringLiteral("no such action")));
        source->setEnabled(true);
        action->trigger();
        QInputDialog* dialog = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == QLatin1String("copyToDialog") && widget->isVisible())
                dialog = qobject_cast<QInputDialog*>(widget);
        }
        if (!dialog)
            return reply(failure(QStringLiteral("the dialog did not open")));
        dialog->setTextValue(path);
        dialog->accept();
        reply(QJsonObject());
    }

    QJsonObject jobs() const
    {
        QJsonArray list;
        for (JobWindow* window : m_window->jobWindows()->windows()) {
            list.append(QJsonObject{
                { QStringLiteral("title"), window->window() ? window->window()->title() : QString() },
                { QStringLiteral("state"), window->value("jobState").toInt() },
                { QStringLiteral("prompt"), window->value("userPrompt").toString() },
                { QStringLiteral("failure"), window->value("failureText").toString() },
                { QStringLiteral("alive"), window->jobAlive() } });
        }
        return QJsonObject{ { QStringLiteral("jobs"), list } };
    }

    QJsonObject shareEditable(const QString& peerUuid, const QString& path)
    {
        if (!m_model->getPeerForUuid(peerUuid) || path.isEmpty())
            return failure(QStringLiteral("usage: share-edit <peer> <path>"));
        PeerAclDto acl;
        acl.uuid = QUuid::createUuid().toString();
        acl.name = QFileInfo(path).fileName();
        acl.selector = path;
        acl.flags = 1u | 2u | 4u;
        acl.timestamp = QDateTime::currentDateTimeUtc();
        if (!m_db->putAcl(peerUuid, acl))
            return failure(QStringLiteral("the share could not be stored"));
        return QJsonObject{ { QStringLiteral("share"), acl.uuid } };
    }

    QJsonObject answerJob(int index, const QString& button)
    {
        const QList<JobWindow*> windows = m_window->jobWindows()->windows();
        if (index < 0 || index >= windows.size())
            return failure(QStringLiteral("no such job window"));
        JobWindow* window = windows.at(index);
        if (button == QLatin1String("skip"))
            emit window->skipRequested();
        else if (button == QLatin1String("replace"))
            emit window->replaceRequested();
        else if (button == QLatin1String("replaceall"))
            emit window->replaceAllRequested();
        else if (button == QLatin1String("abort"))
            emit window->abortRequested();
        else
            return failure(QStringLiteral("usage: answer <n> <skip|replace|replaceall|abort>"));
        return QJsonObject();
    }
    // ---- end of the clipboard commands

    // ---- drag and drop between the panes

    void dropCopy(const QString& peerUuid, const QString& name, const QString& dst,
                  std::function<void(const QJsonObject&)> reply)
    {
        IPeer* peer = m_model->getPeerForUuid(peerUuid);
        IPeer* own = m_model->getPeerForUuid(ownPeerUuid());
        if (!peer || !own || name.isEmpty() || dst.isEmpty())
            return reply(failure(QStringLiteral("usage: dropcopy <peer> <name> <dst>")));
        m_window->showAlternateFilerPane();
        QPointer<Filer> source = m_window->filerPanes().first()->currentFiler();
        QPointer<Filer> target = m_window->filerPanes().last()->currentFiler();
        if (!source || !target || source == target)
            return reply(failure(QStringLiteral("the window has no two panes")));
        auto files = [](IPeer* p) { return qobject_cast<VfsModel*>(p->vfsFileSystemModel()); };
        if (!files(peer))
            return reply(failure(QStringLiteral("the peer has no file model")));
        // The shared folder is reached through the peer's share list, as
        // from its peer page.
        source->setPeer(peer);
        files(peer)->fetchMore(files(peer)->indexForPath(QStringLiteral("%shares")));
        target->setPeer(own);
        target->gotoPath(dst);
        QPointer<VfsModel> model = files(peer);
        auto shares = [model] { return model->indexForPath(QStringLiteral("%shares")); };
        whenTrue([model, shares] { return model && model->rowCount(shares()) > 0; }, 30000, [=](bool listed) {
            if (!listed)
                return reply(failure(QStringLiteral("the peer's shares did not come")));
            // The share's folder as the peer page opens it.
            const QString folder = model->index(0, 0, shares()).data(VfsModel::PathRole).toString();
            if (source)
                source->gotoPath(folder);
            dropCopyShown(source, target, folder, name, dst, reply);
        });
    }

    void dropCopyShown(QPointer<Filer> source, QPointer<Filer> target, const QString& folder, const QString& name,
                       const QString& dst, std::function<void(const QJsonObject&)> reply)
    {
        // The row of the file as the source pane shows it, found by its name.
        auto row = [=]() -> QModelIndex {
            if (!source || !source->currentView())
                return QModelIndex();
            const QModelIndex parent = source->currentView()->rootIndex();
            // The window is never shown, so no view asks for the rows.
            if (source->proxy()->canFetchMore(parent))
                source->proxy()->fetchMore(parent);
            for (int i = 0; i < source->proxy()->rowCount(parent); ++i) {
                const QModelIndex child = source->proxy()->index(i, 0, parent);
                if (child.data(VfsModel::NameRole).toString() == name)
                    return child;
            }
            return QModelIndex();
        };
        whenTrue([=] {
            return source && target && source->path() == folder && target->path() == dst && row().isValid();
        }, 60000, [=](bool shown) {
            if (!shown)
                return reply(failure(QStringLiteral("the panes did not show the folders: %1 (%2 rows), %3")
                                         .arg(source ? source->path() : QString(),
                                              QString::number(source ? source->proxy()->rowCount(
                                                                           source->currentView()->rootIndex())
                                                                     : -1),
                                              target ? target->path() : QString())));
            const QModelIndex index = row();
            source->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            std::unique_ptr<QMimeData> data(source->createDragMimeData(source->selectionModel()->selectedRows()));
            if (!data || data->hasUrls())
                return reply(failure(QStringLiteral("the drag of another machine's file is wrong")));
            QDropEvent drop(QPointF(1, 1), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
            target->handleDrop(&drop, dst);
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QAction* copy = menu ? menu->findChild<QAction*>(QStringLiteral("copyHere")) : nullptr;
            QAction* move = menu ? menu->findChild<QAction*>(QStringLiteral("moveHere")) : nullptr;
            if (!copy || !move || move->isEnabled())
                return reply(failure(QStringLiteral("no menu with Copy here only")));
            // As a click does: the menu closes, then the action runs.
            menu->hide();
            copy->trigger();
            const QString arrived = dst + QLatin1Char('/') + name;
            whenTrue([arrived] { return QFileInfo::exists(arrived); }, 60000,
                     [reply](bool copied) { reply(QJsonObject{ { QStringLiteral("copied"), copied } }); });
        });
    }
    // ---- the Filer: a peer's share as the window shows it ----------------
    // As the user: the peer page of the window's active Filer, then the
    // share of that name on it. Answers once the Filer shows the share and
    // its listing is done ("complete"), or after 20 s with what it lists by
    // then.
    void filer(const QString& peerUuid, const QString& shareName, std::function<void(const QJsonObject&)> reply)
    {
        IPeer* peer = m_model->getPeerForUuid(peerUuid);
        Filer* filer = m_window->filerHub() ? m_window->filerHub()->activeFiler() : nullptr;
        if (!filer && !m_window->filerPanes().isEmpty())
            filer = m_window->filerPanes().first()->currentFiler();
        auto* model = peer ? qobject_cast<VfsModel*>(peer->vfsFileSystemModel()) : nullptr;
        if (!model || !filer || shareName.isEmpty())
            return reply(failure(QStringLiteral("usage: filer <peer> <share> (and a Filer in the window)")));
        // Shown (offscreen) as to the user: the views fetch what they show.
        m_window->show();
        filer->setPeer(peer);
        filer->gotoPath(QStringLiteral("%shares"));
        QPointer<Filer> shown(filer);
        QPointer<VfsModel> vfs(model);
        auto sharePath = std::make_shared<QString>();
        whenTrue([vfs, shareName, sharePath] {
            if (!vfs)
                return false;
            const QModelIndex shares = vfs->indexForPath(QStringLiteral("%shares"));
            if (vfs->canFetchMore(shares))
                vfs->fetchMore(shares);
            for (int row = 0; row < vfs->rowCount(shares); ++row) {
                const QModelIndex share = vfs->index(row, 0, shares);
                if (share.data(VfsModel::NameRole).toString() == shareName)
                    *sharePath = share.data(VfsModel::PathRole).toString();
            }
            return !sharePath->isEmpty();
        }, 20000, [shown, vfs, sharePath, reply](bool found) {
            if (!found || !shown)
                return reply(failure(QStringLiteral("the peer page lists no such share")));
            shown->gotoPath(*sharePath);
            whenTrue([shown, vfs, sharePath] {
                if (!shown || !vfs || shown->path() != *sharePath)
                    return false;
                const QModelIndex share = vfs->indexForPath(*sharePath);
                return !vfs->isBusy(share) && !vfs->canFetchMore(share);
            }, 20000, [shown, reply](bool complete) {
                QAbstractItemView* view = shown ? shown->currentView() : nullptr;
                if (!view || !view->model())
                    return reply(failure(QStringLiteral("the Filer has no view")));
                QJsonArray names;
                for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
                    names.append(view->model()->index(row, 0, view->rootIndex()).data(VfsModel::NameRole).toString());
                reply(QJsonObject{ { QStringLiteral("path"), shown->path() },
                                   { QStringLiteral("complete"), complete },
                                   { QStringLiteral("names"), names } });
            });
        });
    }
    // ---- end of the Filer ----------------------------------------------------

    // ---- sharing through the Filer and the share window ---------------------
    bool sharingCommand(const QString& command, const QStringList& words, Reply reply)
    {
        if (command == QLatin1String("sharewith"))
            shareWith(words.value(1), words.value(2), reply);
        else if (command == QLatin1String("editshare"))
            editShare(words.value(1), words.value(2), words.value(3), reply);
        else if (command == QLatin1String("peershares"))
            peerShares(words.value(1), reply);
        else if (command == QLatin1String("mkdir"))
            makeFolder(words.mid(1).join(QLatin1Char(' ')), reply);
        else
            return false;
        return true;
    }

    // The Filer the user works in: the active one, else the first pane's,
    // made active (the shared actions reach only the active Filer).
    Filer* workingFiler()
    {
        FilerHub* hub = m_window->filerHub();
        if (!hub)
            return nullptr;
        if (Filer* active = hub->activeFiler())
            return active;
        if (m_window->filerPanes().isEmpty())
            return nullptr;
        FilerPane* pane = m_window->filerPanes().first();
        hub->setActiveFilerPane(pane);
        hub->setActiveFiler(pane, pane->currentFiler());
        return hub->activeFiler();
    }

    static QQuickItem* findItemWhere(QQuickItem* root, const std::function<bool(QQuickItem*)>& test)
    {
        if (!root)
            return nullptr;
        if (test(root))
            return root;
        for (QQuickItem* child : root->childItems()) {
            if (QQuickItem* found = findItemWhere(child, test))
                return found;
        }
        return nullptr;
    }

    // The share window a click just opened: one the Filer did not have before.
    static QPointer<ShareWithDialog> openedDialog(Filer* filer, const QList<ShareWithDialog*>& before)
    {
        for (ShareWithDialog* dialog : filer->findChildren<ShareWithDialog*>()) {
            if (!before.contains(dialog) && dialog->window())
                return dialog;
        }
        return nullptr;
    }

    // "Share with" > peer in the active Filer's context menu.
    void shareWith(const QString& peerUuid, const QString& choice, Reply reply)
    {
        QPointer<Filer> filer = workingFiler();
        if (!filer || !m_model->getPeerForUuid(peerUuid)
            || (choice != QLatin1String("view") && choice != QLatin1String("edit")))
            return reply(failure(QStringLiteral("usage: sharewith <peer> <view|edit> (and an active Filer)")));
        filer->onCustomContextMenuRequested(QPoint());
        QMenu* menu = filer->contextMenu();
        QAction* entry = nullptr;
        for (QAction* item : menu ? menu->actions() : QList<QAction*>()) {
            if (!item->menu() || item->menu()->objectName() != QLatin1String("menu-share-with"))
                continue;
            for (QAction* peerEntry : item->menu()->actions()) {
                if (peerEntry->data().toString() == peerUuid)
                    entry = peerEntry;
            }
        }
        if (menu)
            menu->hide();
        if (!entry)
            return reply(failure(QStringLiteral("the context menu has no Share with entry for the peer")));
        const QList<ShareWithDialog*> before = filer->findChildren<ShareWithDialog*>();
        // As a click does: the menu closes, then the entry runs.
        entry->trigger();
        QPointer<ShareWithDialog> dialog = openedDialog(filer, before);
        if (!dialog)
            return reply(failure(QStringLiteral("Share with opened no share window")));
        const QString selector = dialog->acl().selector;
        const bool isNew = dialog->window()->property("isNewShare").toBool();
        answerWindow(dialog, choice, reply, [this, peerUuid, selector, isNew, reply](qint64 at) {
            for (const PeerAclDto& acl : m_db->getAcls(peerUuid)) {
                if (acl.selector == selector)
                    return reply(QJsonObject{ { QStringLiteral("share"), acl.uuid },
                                              { QStringLiteral("flags"), int(acl.flags) },
                                              { QStringLiteral("new"), isNew },
                                              { QStringLiteral("at"), double(at) } });
            }
            reply(failure(QStringLiteral("the window closed but no share of ") + selector + QStringLiteral(" is stored")));
        });
    }

    // The peer's page in the active Filer, "Your shared items", the share's
    // "edit".
    void editShare(const QString& peerUuid, const QString& aclUuid, const QString& choice, Reply reply)
    {
        QPointer<Filer> filer = workingFiler();
        IPeer* peer = m_model->getPeerForUuid(peerUuid);
        if (!filer || !peer || aclUuid.isEmpty()
            || (choice != QLatin1String("view") && choice != QLatin1String("edit")
                && choice != QLatin1String("remove")))
            return reply(failure(QStringLiteral("usage: editshare <peer> <share> <view|edit|remove>")));
        m_window->show();
        filer->setPeer(peer);
        filer->gotoPath(QStringLiteral("%peerview"));
        QQuickWidget* page = filer->peerViewPage();
        QPointer<QQuickItem> root = page ? qobject_cast<QQuickItem*>(page->rootObject()) : nullptr;
        if (!root)
            return reply(failure(QStringLiteral("the Filer has no peer page")));
        auto view = [root] { return root ? root->property("view").toString() : QString(); };
        whenTrue([view] { return view() == QLatin1String("shares") || view() == QLatin1String("acls"); }, 30000,
                 [=](bool online) {
            if (!online || !filer)
                return reply(failure(QStringLiteral("the peer page shows \"%1\", not the peer online").arg(view())));
            QMetaObject::invokeMethod(findItem(root, QStringLiteral("mySharesHeading")), "clicked");
            auto editButton = [root, aclUuid]() -> QQuickItem* {
                QQuickItem* row = findItemWhere(root, [aclUuid](QQuickItem* item) {
                    return item->objectName().startsWith(QLatin1String("aclRow_"))
                           && item->property("aclUuid").toString() == aclUuid;
                });
                return row ? findItem(row, QStringLiteral("editButton")) : nullptr;
            };
            whenTrue([editButton] { return editButton() != nullptr; }, 30000, [=](bool listed) {
                if (!listed || !filer)
                    return reply(failure(QStringLiteral("\"Your shared items\" lists no such share (page: %1)")
                                             .arg(view())));
                const QList<ShareWithDialog*> before = filer->findChildren<ShareWithDialog*>();
                QMetaObject::invokeMethod(editButton(), "clicked");
                QPointer<ShareWithDialog> dialog = openedDialog(filer, before);
                if (!dialog)
                    return reply(failure(QStringLiteral("edit opened no share window")));
                answerWindow(dialog, choice, reply, [this, peerUuid, aclUuid, reply](qint64 at) {
                    int flags = 0;
                    for (const PeerAclDto& acl : m_db->getAcls(peerUuid)) {
                        if (acl.uuid == aclUuid)
                            flags = int(acl.flags);
                    }
                    reply(QJsonObject{ { QStringLiteral("share"), aclUuid },
                                       { QStringLiteral("flags"), flags },
                                       { QStringLiteral("at"), double(at) } });
                });
            });
        });
    }

    // The share window's choice made with its check boxes as a click does,
    // then Share or Save (or Remove share) clicked; done(the click's time)
    // once the window has gone, which it does only after the store took
    // the change.
    void answerWindow(QPointer<ShareWithDialog> dialog, const QString& choice, Reply reply,
                      std::function<void(qint64)> done)
    {
        auto window = [dialog]() -> QQuickWindow* {
            return dialog ? qobject_cast<QQuickWindow*>(dialog->window()) : nullptr;
        };
        auto item = [window](const QString& name) -> QQuickItem* {
            QQuickWindow* shown = window();
            return shown ? findItem(shown->contentItem(), name) : nullptr;
        };
        // The two boxes are one choice once the window's state machine ran.
        auto settled = [item](bool edit) {
            QQuickItem* view = item(QStringLiteral("canViewCheckbox"));
            QQuickItem* canEdit = item(QStringLiteral("canEditCheckbox"));
            return view && canEdit && view->property("checked").toBool() == !edit
                   && canEdit->property("checked").toBool() == edit;
        };
        whenTrue([window, settled] { return window() && window()->isVisible() && (settled(true) || settled(false)); },
                 20000, [=](bool shown) {
            if (!shown)
                return reply(failure(QStringLiteral("the share window did not open")));
            const bool remove = choice == QLatin1String("remove");
            const bool edit = choice == QLatin1String("edit");
            if (!remove && !settled(edit)) {
                QQuickItem* box = item(edit ? QStringLiteral("canEditCheckbox") : QStringLiteral("canViewCheckbox"));
                QMetaObject::invokeMethod(box, "toggle");
                QMetaObject::invokeMethod(box, "toggled");
            }
            whenTrue([remove, edit, settled] { return remove || settled(edit); }, 20000, [=](bool chosen) {
                if (!chosen)
                    return reply(failure(QStringLiteral("the check boxes did not take the click")));
                QQuickItem* button = item(remove ? QStringLiteral("removeButton") : QStringLiteral("shareButton"));
                if (!button || !button->isVisible())
                    return reply(failure(QStringLiteral("the share window shows no such button")));
                const qint64 at = QDateTime::currentMSecsSinceEpoch();
                QMetaObject::invokeMethod(button, "clicked");
                whenTrue([dialog] { return !dialog; }, 20000, [=](bool closed) {
                    if (!closed)
                        return reply(failure(QStringLiteral("the share window stayed open: ")
                                             + (window() ? window()->property("errorText").toString() : QString())));
                    done(at);
                });
            });
        });
    }

    // The rows of "Shared items" on the peer's page in the active Filer.
    void peerShares(const QString& peerUuid, Reply reply)
    {
        QPointer<Filer> filer = workingFiler();
        IPeer* peer = m_model->getPeerForUuid(peerUuid);
        QPointer<VfsModel> vfs = peer ? qobject_cast<VfsModel*>(peer->vfsFileSystemModel()) : nullptr;
        if (!filer || !vfs)
            return reply(failure(QStringLiteral("usage: peershares <peer> (and an active Filer)")));
        m_window->show();
        filer->setPeer(peer);
        filer->gotoPath(QStringLiteral("%shares"));
        QQuickWidget* page = filer->peerViewPage();
        QPointer<QQuickItem> root = page ? qobject_cast<QQuickItem*>(page->rootObject()) : nullptr;
        if (!root)
            return reply(failure(QStringLiteral("the Filer has no peer page")));
        if (root->property("view").toString() == QLatin1String("acls"))
            QMetaObject::invokeMethod(findItem(root, QStringLiteral("peerSharesHeading")), "clicked");
        whenTrue([root] { return root && root->property("view").toString() == QLatin1String("shares"); }, 30000,
                 [root, vfs, reply](bool shown) {
            if (!shown || !vfs)
                return reply(failure(QStringLiteral("the peer page shows no shares")));
            QJsonArray shares;
            findItemWhere(findItem(root, QStringLiteral("sharesList")), [&](QQuickItem* row) {
                if (row->objectName().startsWith(QLatin1String("shareRow_"))) {
                    const QString path = row->property("sharePath").toString();
                    shares.append(QJsonObject{
                        { QStringLiteral("name"), vfs->indexForPath(path).data(VfsModel::NameRole).toString() },
                        { QStringLiteral("path"), path } });
                }
                return false;
            });
            reply(QJsonObject{ { QStringLiteral("shares"), shares } });
        });
    }

    // New folder in the active Filer's shown folder, the name typed into
    // its dialog. The action is used even when the Filer has switched it
    // off: the other machine must refuse the request by itself.
    void makeFolder(const QString& name, Reply reply)
    {
        QPointer<Filer> filer = workingFiler();
        QAction* action = SharedActions::newFolder;
        QPointer<QStatusBar> status = filer ? filer->findChild<QStatusBar*>() : nullptr;
        if (!filer || !action || !status || name.isEmpty())
            return reply(failure(QStringLiteral("usage: mkdir <name> (and an active Filer)")));
        status->clearMessage();
        const bool enabled = action->isEnabled();
        action->setEnabled(true);
        action->trigger();
        auto* dialog = filer->findChild<QInputDialog*>(QStringLiteral("newFolderDialog"));
        if (!dialog || !dialog->isVisible())
            return reply(failure(QStringLiteral("New folder opened no dialog")));
        dialog->setTextValue(name);
        dialog->accept();
        auto listed = [filer, name] {
            QAbstractItemView* view = filer ? filer->currentView() : nullptr;
            if (!view || !filer->proxy())
                return false;
            for (int row = 0; row < filer->proxy()->rowCount(view->rootIndex()); ++row) {
                if (filer->proxy()->index(row, 0, view->rootIndex()).data(VfsModel::NameRole).toString() == name)
                    return true;
            }
            return false;
        };
        whenTrue([listed, status] { return listed() || (status && !status->currentMessage().isEmpty()); }, 60000,
                 [listed, status, enabled, reply](bool) {
            reply(QJsonObject{ { QStringLiteral("made"), listed() },
                               { QStringLiteral("status"), status ? status->currentMessage() : QString() },
                               { QStringLiteral("enabled"), enabled } });
        });
    }
    // ---- end of sharing ------------------------------------------------------

    MainWindow* m_window;
    DatabaseSqlite* m_db;
    PeerModel* m_model;
    QStringList m_queue;
    bool m_busy = false;
    std::unique_ptr<QQuickWindow> m_host;
    std::unique_ptr<QQuickItem> m_machineList;
};

int main(int argc, char** argv)
{
    DriverStartup startup;

    // Offscreen unless told otherwise: the window is driven, never shown.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    // The window is never shown: closing a dialog must not end the run.
    QApplication::setQuitOnLastWindowClosed(false);
    startup.start(QStringLiteral(VELM_I18N_DIR "/velm_en.ts"));
    const QString configDir = AppSettings::configDirectory(0);

    auto* ioThread = new QThread(&app);
    ioThread->setObjectName(QStringLiteral("ioThread"));
    VfsWatcher watcher(&app);
    PeerModel peerModel(&app);
    DatabaseSqlite database(configDir + QStringLiteral("/velm.db"), &app);
    if (!database.openError().isEmpty()) {
        std::cerr << "database unusable: " << database.openError().toStdString() << std::endl;
        return 2;
    }
    InvitationModel invitationModel(&database);
    auto* connectionManager = new ConnectionManager(&database);
    connectionManager->moveToThread(ioThread);

    auto window = std::make_unique<MainWindow>(connectionManager, &database);
    GuiDriver driver(window.get(), &database, &peerModel);

    QObject::connect(ioThread, &QThread::started, connectionManager, &ConnectionManager::start);
    // Once started: networking on through the window (as the user's switch),
    // then commands.
    QObject::connect(connectionManager, &ConnectionManager::started, window.get(), [&window] {
        window->setNetworkEnabled(true);
        answer(QJsonObject{ { QStringLiteral("event"), QStringLiteral("ready") } });
    }, Qt::QueuedConnection);
    DriverStartup::endAtQuit(ioThread, connectionManager);

    const int rc
        = DriverStartup::exec(ioThread, &driver, [&driver](const QString& command) { driver.enqueue(command); });
    window.reset();
    return rc;
}
