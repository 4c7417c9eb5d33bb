#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QProcess;

// Extracts one archive of this machine beside itself by running 7z twice:
// once to list it, once to extract it with progress. The listing decides
// where the content goes so that nothing of the user's is overwritten: one
// top-level entry goes straight into the folder when its name is free, or
// through a hidden folder and out under a free name; anything else goes into
// a new folder named after the archive. An archive whose listing is not
// complete, or that holds an absolute path, a ".." component, a link leading
// out of its own folders or an entry that needs a password, is refused
// before anything is written.
//
// One object serves one extraction and deletes itself after its last
// signal. Both runs are child processes watched through the event loop;
// nothing here blocks the thread. The signals come in this order:
// startExtracting, extractProgress (any number), then exactly one of
// extracted or failedExtracting (extractionFailed just before the latter).
// A listing that fails skips startExtracting.
class P7Zip : public QObject
{
    Q_OBJECT
public:
    // The 7z program that is tested and started: "archive/program" in
    // config.ini, "/usr/bin/7z" when not set.
    static const char* const ProgramKey;
    static const char* const DefaultProgram;
    static constexpr int DefaultListingTimeoutMs = 60000;

    P7Zip(const QString& archivePath, QObject* parent);
    ~P7Zip() override;

    // The 7z program of the settings.
    static QString program();
    // True when the program exists and the name ends with a suffix 7z reads.
    static bool isAvailable(const QString& fileName);

    // Starts the listing of the archive for extraction into destinationDir;
    // false (and no signal) for an empty or missing archive, a missing
    // destination folder, or a second call.
    bool extract(const QString& destinationDir);

    // The text of the last failure, for the status bar.
    QString errorString() const;

    // How long the listing may take (start and end together).
    void setListingTimeout(int ms);
    // How an entry is moved out of the hidden folder: it must not replace an
    // existing item and answers false when it moved nothing (a test seam;
    // the default renames without replacing).
    using MoveFunction = std::function<bool(const QString& from, const QString& to)>;
    void setMoveFunction(MoveFunction move);

    // The percentage at the start of a piece of 7z's progress output, or -1.
    static int progressFromOutput(const QByteArray& chunk);
    // p when nothing exists there, else "p (1)", "p (2)", … whichever is free.
    static QString uniquePath(const QString& path);
    // Splits a file name into base and suffix for numbering: backup.tar.gz
    // gives backup and tar.gz, report.2020.pdf gives report.2020 and pdf.
    static void splitName(const QString& name, QString* base, QString* suffix);
    // The hidden folder for an archive of that file name inside destinationDir.
    static QString hiddenFolderName(const QString& archiveFileName);

signals:
    void startExtracting(QString archiveFileName, qint64 archiveSize);
    void extractProgress(int percent);
    void extracted(QString path);
    void failedExtracting();
    // The user's text for a failure or a cancel, just before failedExtracting.
    void extractionFailed(QString message);

public slots:
    void abortExtract();

private slots:
    void onListingFinished();
    void onReadyReadStandardOutput();
    void onFinished();

private:
    class Private;
    Private* const d;
};
