#pragma once

#include "update/updater.h"
#include "update/updaterform.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>

class QNetworkAccessManager;
class QTimer;

class UpdaterPrivate
{
public:
    int state = Updater::Initial;
    UpdaterForm form;
    QTimer* autoQueryTimer = nullptr;
    QNetworkAccessManager* network = nullptr;
    QString url;
    QString version;
    QFile archive;
    QString sha256;
    // The running download: bytes written and when it began (time left).
    QPointer<QNetworkReply> downloadReply;
    qint64 downloadWritten = 0;
    bool downloadWriteFailed = false;
    QElapsedTimer downloadClock;
    // Counts downloads, so that a hash that ends after a newer download
    // began leaves that one alone.
    int downloadGeneration = 0;
};

// Properties a reply carries: the most bytes it may bring, and whether it
// was cut off for bringing more.
namespace UpdaterReply {
constexpr const char* Limit = "velmLimit";
constexpr const char* TooLong = "velmTooLong";
} // namespace UpdaterReply
