#include "share/sharewithdialog.h"

#include "core/idatabase.h"
#include "core/logger.h"
#include "peer/ipeer.h"
#include "quick/themeimageprovider.h"
#include "share/sharerecord.h"

#include <QDateTime>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlProperty>
#include <QQuickWindow>
#include <QUuid>

#include <memory>

static void initShareResources()
{
    Q_INIT_RESOURCE(share);
}

void ShareWithDialog::initResources()
{
    initShareResources();
}

ShareWithDialog::ShareWithDialog(QQmlEngine* engine, IDatabase* db, IPeer* peer, const PeerAclDto& acl,
                                 QObject* parent, const QUrl& source)
    : QObject(parent), m_db(db), m_acl(acl)
{
    initShareResources();
    if (peer)
        m_peerUuid = peer->uuid();

    QObject* object = nullptr;
    if (engine && peer) {
        QQmlComponent component(engine, source);
        // A file that does not compile is not created at all: create() would
        // only add a warning of its own.
        if (component.isReady())
            object = component.create();
        if (!object)
            Logger::log(Logger::ERR1, "share dialog: cannot create %s: %s", qUtf8Printable(source.toString()),
                        qUtf8Printable(component.errorString()));
    } else {
        Logger::log(Logger::ERR1, "share dialog: no %s", engine ? "peer" : "engine");
    }
    auto* quickWindow = qobject_cast<QQuickWindow*>(object);
    if (!quickWindow) {
        if (object)
            Logger::log(Logger::ERR1, "share dialog: %s is not a window", qUtf8Printable(source.toString()));
        delete object;
        deleteLater();
        return;
    }
    m_window = object;

    const QString name = peer->displayName().isEmpty() ? peer->name() : peer->displayName();
    QQmlProperty::write(object, QStringLiteral("icon"), iconFor(m_acl));
    QQmlProperty::write(object, QStringLiteral("itemName"), m_acl.name);
    QQmlProperty::write(object, QStringLiteral("peerName"), name);
    QQmlProperty::write(object, QStringLiteral("canEdit"), (m_acl.flags & ShareRecord::Write) != 0);
    QQmlProperty::write(object, QStringLiteral("isNewShare"), ShareRecord::isNewShare(m_acl));
    QQmlProperty::write(object, QStringLiteral("selector"), m_acl.selector);

    connect(object, SIGNAL(accepted(bool)), this, SLOT(onAccepted(bool)));
    connect(object, SIGNAL(removeShare()), this, SLOT(onRemoveShare()));
    connect(quickWindow, &QWindow::visibleChanged, this, &ShareWithDialog::onDialogClose);
}

ShareWithDialog::~ShareWithDialog()
{
    delete m_window.data();
}

ShareWithDialog* ShareWithDialog::open(QQmlEngine* engine, IDatabase* db, IPeer* peer, const PeerAclDto& acl,
                                       QObject* parent)
{
    auto* dialog = new ShareWithDialog(engine, db, peer, acl, parent);
    if (!dialog->window())
        return nullptr;
    dialog->show();
    return dialog;
}

QUrl ShareWithDialog::defaultSource()
{
    return QUrl(QStringLiteral("qrc:/qml/dialogs/ShareWithDialog.qml"));
}

QString ShareWithDialog::iconFor(const PeerAclDto& acl)
{
    if (acl.flags & ShareRecord::Directory) {
        if (acl.flags & ShareRecord::Drive)
            return QStringLiteral("image://theme/icon/drive-disk.svg");
        return QStringLiteral("image://theme/mime/application/x-directory");
    }
    return ThemeImageProvider::fileIconUrl(acl.name);
}

QObject* ShareWithDialog::window() const
{
    return m_window;
}

const PeerAclDto& ShareWithDialog::acl() const
{
    return m_acl;
}

QString ShareWithDialog::peerUuid() const
{
    return m_peerUuid;
}

void ShareWithDialog::show()
{
    if (!m_window)
        return;
    QQmlProperty::write(m_window, QStringLiteral("errorText"), QString());
    QMetaObject::invokeMethod(m_window, "show");
    QMetaObject::invokeMethod(m_window, "raise");
    QMetaObject::invokeMethod(m_window, "requestActivate");
}

void ShareWithDialog::onDialogClose(bool visible)
{
    if (visible || !m_window)
        return;
    m_window->deleteLater();
    m_window = nullptr;
    deleteLater();
}

void ShareWithDialog::onAccepted(bool canEdit)
{
    Logger::log(Logger::NFO1, "dlg accepted %u", unsigned(canEdit));
    if (!m_window || m_closing)
        return;
    PeerAclDto acl;
    acl.uuid = ShareRecord::isNewShare(m_acl) ? QUuid::createUuid().toString() : m_acl.uuid;
    acl.name = m_acl.name;
    acl.selector = m_acl.selector;
    acl.flags = (m_acl.flags & ~quint32(ShareRecord::Write)) | ShareRecord::Read;
    if (canEdit)
        acl.flags |= ShareRecord::Write;
    acl.timestamp = QDateTime::currentDateTimeUtc();
    if (!m_db || !m_db->putAcl(m_peerUuid, acl)) {
        Logger::log(Logger::ERR1, "share dialog: storing share %s of peer %s failed", qUtf8Printable(acl.uuid),
                    qUtf8Printable(m_peerUuid));
        //% "The share could not be stored. Please try again."
        fail(qtTrId("share-with-error-store"));
        return;
    }
    // A retry after this point edits the stored share instead of adding
    // another one.
    m_acl = acl;
    close();
}

void ShareWithDialog::onRemoveShare()
{
    if (!m_window || m_closing)
        return;
    if (ShareRecord::isNewShare(m_acl)) {
        close();
        return;
    }
    if (!m_db || !m_db->deleteAcl(m_peerUuid, m_acl.uuid)) {
        Logger::log(Logger::ERR1, "share dialog: removing share %s of peer %s failed", qUtf8Printable(m_acl.uuid),
                    qUtf8Printable(m_peerUuid));
        //% "The share could not be removed; the peer still has access. Please try again."
        fail(qtTrId("share-with-error-remove"));
        return;
    }
    close();
}

void ShareWithDialog::fail(const QString& message)
{
    QQmlProperty::write(m_window, QStringLiteral("errorText"), message);
}

void ShareWithDialog::close()
{
    m_closing = true;
    QQmlProperty::write(m_window, QStringLiteral("errorText"), QString());
    QMetaObject::invokeMethod(m_window, "close");
    // A window never shown is not hidden by close(): end it all the same.
    if (m_window && !qobject_cast<QQuickWindow*>(m_window)->isVisible())
        onDialogClose(false);
}
