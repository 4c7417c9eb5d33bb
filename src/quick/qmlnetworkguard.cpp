#include "quick/qmlnetworkguard.h"

#include "core/logger.h"

#include <QAtomicInt>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QQmlEngine>
#include <QTimer>

namespace {

QAtomicInt s_refused;

// A reply that fails at once, without a socket or a name lookup.
class RefusedReply : public QNetworkReply
{
public:
    RefusedReply(const QNetworkRequest& request, QNetworkAccessManager::Operation operation, QObject* parent)
        : QNetworkReply(parent)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(operation);
        setError(QNetworkReply::ProtocolUnknownError, QStringLiteral("network access refused"));
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        setFinished(true);
        // Listeners connect after the manager returns the reply.
        QTimer::singleShot(0, this, [this] {
            emit errorOccurred(QNetworkReply::ProtocolUnknownError);
            emit finished();
        });
    }
    void abort() override {}
    qint64 bytesAvailable() const override { return 0; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
};

class GuardedManager : public QNetworkAccessManager
{
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override
    {
        const QString scheme = request.url().scheme().toLower();
        if (QmlNetworkGuard::allowedSchemes().contains(scheme))
            return QNetworkAccessManager::createRequest(operation, request, outgoingData);
        s_refused.fetchAndAddRelaxed(1);
        Logger::log(Logger::ERR1, "QML network access refused: %s",
                    qUtf8Printable(request.url().toDisplayString(QUrl::RemoveQuery)));
        return new RefusedReply(request, operation, this);
    }
};

} // namespace

QNetworkAccessManager* QmlNetworkGuard::create(QObject* parent)
{
    auto* manager = new GuardedManager(parent);
    // No proxy lookup either: nothing this manager serves needs one.
    manager->setProxy(QNetworkProxy::NoProxy);
    return manager;
}

QStringList QmlNetworkGuard::allowedSchemes()
{
    return { QStringLiteral("qrc"), QStringLiteral("file"), QStringLiteral("image") };
}

void QmlNetworkGuard::install(QQmlEngine* engine)
{
    // The engine takes the factory but never deletes it.
    static QmlNetworkGuard guard;
    engine->setNetworkAccessManagerFactory(&guard);
}

int QmlNetworkGuard::refusedCount()
{
    return s_refused.loadRelaxed();
}
