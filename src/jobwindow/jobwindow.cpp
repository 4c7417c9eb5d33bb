#include "jobwindow/jobwindow.h"

#include "core/logger.h"
#include "jobs/vfsjob.h"

#include <QIcon>
#include <QPointer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

class JobWindowPrivate
{
public:
    QPointer<QQuickWindow> window;
    QVariantMap values; // every value the window has been given, by property name
    QString requestId;
    bool cut = false;
    bool jobAlive = true;
    int state = VfsJob::VfsJobStateUnknown;
};

namespace {
QVariantList itemList(const QStringList& paths, const QStringList& reasons)
{
    QVariantList list;
    for (int i = 0; i < paths.size(); ++i)
        list << QVariantMap{ { QStringLiteral("path"), paths[i] }, { QStringLiteral("reason"), reasons.value(i) } };
    return list;
}
} // namespace

JobWindow::JobWindow(QObject* parent) : QObject(parent), d(new JobWindowPrivate) {}

JobWindow::~JobWindow()
{
    if (QQuickWindow* window = d->window) {
        d->window = nullptr;
        disconnect(window, nullptr, this, nullptr);
        delete window;
    }
}

void JobWindow::setRequest(const QString& id, bool cut)
{
    d->requestId = id;
    d->cut = cut;
}

QString JobWindow::requestId() const { return d->requestId; }
bool JobWindow::isCut() const { return d->cut; }
QQuickWindow* JobWindow::window() const { return d->window; }
bool JobWindow::jobAlive() const { return d->jobAlive; }

QVariant JobWindow::value(const char* name) const
{
    if (d->window)
        return d->window->property(name);
    return d->values.value(QLatin1String(name));
}

bool JobWindow::open(QQmlEngine* engine)
{
    if (d->window || !engine)
        return bool(d->window);
    QQmlComponent component(engine, QUrl(QStringLiteral("qrc:/qml/JobPane.qml")));
    QObject* object = component.create();
    auto* window = qobject_cast<QQuickWindow*>(object);
    if (!window) {
        Logger::log(Logger::ERR1, "job window: %s", qUtf8Printable(component.errorString()));
        delete object;
        return false;
    }
    d->window = window;
    window->setFlags(Qt::Window);
    window->setIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));
    connect(window, SIGNAL(abort()), this, SIGNAL(abortRequested()));
    connect(window, SIGNAL(skipItem()), this, SIGNAL(skipRequested()));
    connect(window, SIGNAL(replaceItem()), this, SIGNAL(replaceRequested()));
    connect(window, SIGNAL(replaceAllItems()), this, SIGNAL(replaceAllRequested()));
    connect(window, SIGNAL(closeRequested()), this, SLOT(onCloseRequested()));
    connect(window, SIGNAL(cancelAnswered(bool)), this, SLOT(onCancelAnswered(bool)));
    connect(window, &QWindow::visibleChanged, this, &JobWindow::onVisibleChanged);
    for (auto it = d->values.cbegin(); it != d->values.cend(); ++it)
        window->setProperty(qPrintable(it.key()), it.value());
    updateClosable();
    window->show();
    window->raise();
    window->requestActivate();
    return true;
}

void JobWindow::set(const char* name, const QVariant& value)
{
    d->values.insert(QLatin1String(name), value);
    if (d->window)
        d->window->setProperty(name, value);
}

void JobWindow::setBytesTotal(const QString& bytesTotal)
{
    set("bytesTotal", bytesTotal);
}

void JobWindow::setBytesCopied(const QString& bytesCopied, double percentDone, int filesDone)
{
    set("bytesCopied", bytesCopied);
    set("percentDone", percentDone);
    set("filesDone", filesDone);
}

void JobWindow::setCurrentFile(const QString& currentFile)
{
    set("currentItem", currentFile);
}

void JobWindow::setWriteSpeed(const QString& writeSpeed, const QString& remainingTime)
{
    set("writeSpeed", writeSpeed);
    set("remainingTime", remainingTime);
}

void JobWindow::setTotalFileCount(int totalFileCount)
{
    set("totalFilesCount", totalFileCount);
}

void JobWindow::setJobState(int state)
{
    d->state = state;
    set("jobState", state);
    updateClosable();
}

void JobWindow::setUserPrompt(const QString& prompt)
{
    set("userPrompt", prompt);
}

void JobWindow::setFailure(const QString& text, const QString& peer, const QString& path)
{
    set("failureText", text);
    set("failurePeer", peer);
    set("failurePath", path);
}

void JobWindow::setRetry(int retryCount, const QDateTime& nextRetryAt)
{
    set("retryCount", retryCount);
    set("nextRetryAt", nextRetryAt.isValid() ? nextRetryAt.toLocalTime() : QDateTime());
}

void JobWindow::setFailedItems(const QStringList& paths, const QStringList& reasons)
{
    set("failedItems", itemList(paths, reasons));
}

void JobWindow::setKeptItems(const QStringList& paths, const QStringList& reasons)
{
    set("keptItems", itemList(paths, reasons));
}

void JobWindow::onJobGone()
{
    d->jobAlive = false;
    set("jobGone", true);
    updateClosable();
}

void JobWindow::updateClosable()
{
    const bool ended = !d->jobAlive || d->state == VfsJob::VfsJobStateFinished
        || d->state == VfsJob::VfsJobStateAborted;
    set("canClose", ended);
    if (ended)
        set("askingCancel", false);
}

// The window would close while the job goes on: it asks first.
void JobWindow::onCloseRequested()
{
    set("askingCancel", true);
}

void JobWindow::onCancelAnswered(bool cancel)
{
    set("askingCancel", false);
    if (!cancel)
        return;
    emit abortRequested();
    set("canClose", true);
    if (d->window)
        d->window->close();
}

void JobWindow::onVisibleChanged(bool visible)
{
    if (visible || !d->window)
        return;
    d->window->deleteLater();
    d->window = nullptr;
    emit closed();
}
