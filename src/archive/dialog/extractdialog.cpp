#include "archive/dialog/extractdialog.h"

#include "archive/p7zip.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

class ExtractDialog::Private
{
public:
    QPointer<P7Zip> p7zip;
    QTimer timer;
    State state = Created;
    QLabel* label = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* timeLeft = nullptr;
    QElapsedTimer clock;
};

ExtractDialog::ExtractDialog(P7Zip* p7zip, QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint), d(new Private)
{
    d->p7zip = p7zip;
    setObjectName(QStringLiteral("ExtractDialog"));
    //% "Extract archive"
    setWindowTitle(qtTrId("dlg-extract-title"));
    setMinimumWidth(4 * fontMetrics().horizontalAdvance(windowTitle()));

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    d->label = new QLabel(this);
    d->label->setTextFormat(Qt::PlainText);
    layout->addWidget(d->label);
    d->progressBar = new QProgressBar(this);
    d->progressBar->setRange(0, 100);
    d->progressBar->setValue(0);
    d->progressBar->setTextVisible(false);
    layout->addWidget(d->progressBar);
    d->timeLeft = new QLabel(this);
    d->timeLeft->setTextFormat(Qt::PlainText);
    layout->addWidget(d->timeLeft);
    d->timeLeft->hide(); // until the time left can be estimated
    //% "Cancel"
    auto* cancel = new QPushButton(qtTrId("btn-cancel"), this);
    cancel->setDefault(false);
    cancel->setAutoDefault(false);
    cancel->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(cancel, 0, Qt::AlignRight);

    connect(cancel, &QPushButton::clicked, this, &ExtractDialog::cancelClicked);
    if (p7zip) {
        connect(cancel, &QPushButton::clicked, p7zip, &P7Zip::abortExtract);
        connect(p7zip, &P7Zip::startExtracting, this, &ExtractDialog::startExtracting);
        connect(p7zip, &P7Zip::extractProgress, this, &ExtractDialog::extractProgress);
        connect(p7zip, &P7Zip::extracted, this, &ExtractDialog::extracted);
        connect(p7zip, &P7Zip::failedExtracting, this, &ExtractDialog::failedExtracting);
        connect(p7zip, &QObject::destroyed, this, &QObject::deleteLater);
    }
    d->timer.setSingleShot(true);
    connect(&d->timer, &QTimer::timeout, this, &ExtractDialog::timerFired);
}

ExtractDialog::~ExtractDialog()
{
    delete d;
}

P7Zip* ExtractDialog::startExtraction(const QString& archivePath, QObject* owner)
{
    auto* zip = new P7Zip(archivePath, owner);
    new ExtractDialog(zip, nullptr);
    if (!zip->extract(QFileInfo(archivePath).absolutePath())) {
        zip->deleteLater();
        return nullptr;
    }
    return zip;
}

ExtractDialog::State ExtractDialog::state() const
{
    return d->state;
}

QString ExtractDialog::timeLeftText() const
{
    return d->timeLeft->text();
}

QString ExtractDialog::timeLeftFor(qint64 seconds)
{
    if (seconds < 60)
        //% "About %1 s left"
        return qtTrId("dlg-extract-left-seconds").arg(qMax<qint64>(seconds, 1));
    if (seconds < 3600)
        //% "About %1 min %2 s left"
        return qtTrId("dlg-extract-left-minutes").arg(seconds / 60).arg(seconds % 60);
    //% "About %1 h %2 min left"
    return qtTrId("dlg-extract-left-hours").arg(seconds / 3600).arg((seconds % 3600) / 60);
}

void ExtractDialog::startExtracting(QString archiveFileName, qint64 archiveSize)
{
    const QMargins margins = layout()->contentsMargins();
    const int width = margins.left() + fontMetrics().horizontalAdvance(archiveFileName) + margins.right();
    if (width > minimumWidth())
        setMinimumWidth(width);
    d->label->setText(archiveFileName);
    d->state = Started;
    d->clock.start();
    d->timer.start(archiveSize <= LargeArchiveBytes ? DelayMs : LargeDelayMs);
}

void ExtractDialog::timerFired()
{
    if (d->state != Started)
        return;
    d->state = Shown;
    show();
}

void ExtractDialog::extractProgress(int percent)
{
    d->progressBar->setValue(percent);
    setWindowTitle(QStringLiteral("%1  %2%").arg(qtTrId("dlg-extract-title")).arg(percent));
    const qint64 elapsed = d->clock.isValid() ? d->clock.elapsed() : 0;
    if (elapsed >= EstimateAfterMs && percent >= EstimateAfterPercent && percent < 100) {
        d->timeLeft->setText(timeLeftFor((elapsed * (100 - percent) / percent + 999) / 1000));
        d->timeLeft->show();
    }
}

void ExtractDialog::extracted(QString)
{
    d->progressBar->setValue(100);
    d->state = Done;
}

void ExtractDialog::failedExtracting()
{
    if (d->state != Cancelled)
        d->state = Failed;
}

void ExtractDialog::cancelClicked()
{
    d->state = Cancelled;
}

void ExtractDialog::closeEvent(QCloseEvent* event)
{
    if (d->state != Done) {
        d->state = Cancelled;
        if (d->p7zip)
            d->p7zip->abortExtract();
    }
    QDialog::closeEvent(event);
}
