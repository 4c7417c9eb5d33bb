#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>

class JobWindowPrivate;
class QQmlEngine;
class QQuickWindow;

// The window of one copy job: "qrc:/qml/JobPane.qml" on the shared engine,
// and what stands between it and the job. The values come in by the slots
// (from a CopyJobFeed, queued) and go to the window's properties; values
// that come before the window exists wait for it. The window's buttons come
// out as the request signals, which are connected to the job's slots.
//
// The window outlives its job: when the job is gone it keeps the last state
// it showed (done, failed and why, or aborted) until the user closes it.
// Closing the window of a job that has not ended asks, inside the window,
// whether to cancel the copy: yes aborts the job and closes, no keeps both.
// Escape acts as closing.
//
// Lives on the main thread; it may be made on another and moved there
// before open().
class JobWindow : public QObject
{
    Q_OBJECT
public:
    explicit JobWindow(QObject* parent = nullptr);
    ~JobWindow() override;

    // The request the job copies: its id, and whether it is a cut.
    void setRequest(const QString& id, bool cut);
    QString requestId() const;
    bool isCut() const;

    // Makes, shows and raises the window. False when the QML did not load.
    bool open(QQmlEngine* engine);
    // Null before open() and after the window was closed.
    QQuickWindow* window() const;
    // The window's value of a property as the window has it, or as it will
    // get it once open.
    QVariant value(const char* name) const;
    // Whether the job is still there (its feed not yet gone).
    bool jobAlive() const;

signals:
    void abortRequested();
    void skipRequested();
    void replaceRequested();
    void replaceAllRequested();
    // The window was closed and is gone.
    void closed();

public slots:
    void setBytesTotal(const QString& bytesTotal);
    void setBytesCopied(const QString& bytesCopied, double percentDone, int filesDone);
    void setCurrentFile(const QString& currentFile);
    void setWriteSpeed(const QString& writeSpeed, const QString& remainingTime);
    void setTotalFileCount(int totalFileCount);
    void setJobState(int state);
    void setUserPrompt(const QString& prompt);
    void setFailure(const QString& text, const QString& peer, const QString& path);
    void setRetry(int retryCount, const QDateTime& nextRetryAt);
    void setFailedItems(const QStringList& paths, const QStringList& reasons);
    // What the cut that follows the copy left at the source, and why.
    void setKeptItems(const QStringList& paths, const QStringList& reasons);
    // The job object is gone: whatever the window shows now is final.
    void onJobGone();

private slots:
    void onCloseRequested();
    void onCancelAnswered(bool cancel);
    void onVisibleChanged(bool visible);

private:
    void set(const char* name, const QVariant& value);
    void updateClosable();

    std::unique_ptr<JobWindowPrivate> d;
};
