#pragma once

#include <QDialog>

class P7Zip;
class QCloseEvent;

// The small progress window of one archive extraction: the archive's name,
// a progress bar, the time left once it can be estimated, and a cancel
// button. It shows itself only when the extraction takes a while (after one
// second, or after 10 ms for archives above 30,000,000 bytes) and goes with
// the P7Zip it follows.
class ExtractDialog : public QDialog
{
    Q_OBJECT
public:
    enum State { Created = 0, Started, Shown, Failed, Done, Cancelled };

    static constexpr qint64 LargeArchiveBytes = 30000000;
    static constexpr int DelayMs = 1000;
    static constexpr int LargeDelayMs = 10;
    // The time left is shown from this long after the start and this far on.
    static constexpr int EstimateAfterMs = 2000;
    static constexpr int EstimateAfterPercent = 5;

    ExtractDialog(P7Zip* p7zip, QWidget* parent);
    ~ExtractDialog() override;

    // The extract action of a file view: extracts the archive beside itself
    // with this dialog following it. The P7Zip belongs to owner and deletes
    // itself (and so the dialog) after its last signal; the caller connects
    // to its extracted and extractionFailed. nullptr when the extraction was
    // refused at once (no archive, no folder): nothing was started.
    static P7Zip* startExtraction(const QString& archivePath, QObject* owner);

    State state() const;
    // The time left as shown ("" before it can be estimated).
    QString timeLeftText() const;
    // The text for a number of seconds left ("About 1 min 20 s left").
    static QString timeLeftFor(qint64 seconds);

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void startExtracting(QString archiveFileName, qint64 archiveSize);
    void extractProgress(int percent);
    void extracted(QString path);
    void failedExtracting();
    void timerFired();
    void cancelClicked();

private:
    class Private;
    Private* const d;
};
