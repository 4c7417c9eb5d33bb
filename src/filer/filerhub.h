#pragma once

#include "jobs/vfscopydto.h"

#include <QObject>
#include <QPointer>

class Filer;
class FilerPane;
class VfsManager;

// What the file panes of one main window share: which pane is active and,
// through it, which Filer; the internal clipboard of files; and the files of
// other machines that an application opens once they are copied here. Every
// shared action reaches every Filer; a Filer acts only when it is
// activeFiler().
class FilerHub : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Filer* activeFiler READ activeFiler NOTIFY activeFilerChanged)
public:
    explicit FilerHub(QObject* parent = nullptr);
    ~FilerHub() override;

    // The clipboard record, read and overwritten in place.
    VfsCopyDto* clipboard();

    // Copies the launch's files into its local directory and keeps the
    // launch in the clipboard record's pending launches until that copy has
    // ended: then the application gets the local copies when every one of
    // them came over, and nothing when the copy failed or was aborted. The
    // copy runs here, not in the Filer that took the request, so closing
    // that Filer loses nothing; what the user is told shows in the Filer
    // active when the copy ends.
    void startDeferredLaunch(const VfsDeferredLaunch& launch);

    // The job starter of the window's copies and moves (paste, Copy to,
    // Move to, drops, launch copies), made on first use. It outlives every
    // Filer, so closing the Filer that started a job cuts no job short: a
    // move is not left half done, and a cut still deletes its verified
    // sources when its copy ends.
    VfsManager* jobs();

signals:
    void activeFilerChanged();
    void activeFilerPaneChanged();

public slots:
    // The current Filer of the active pane, asked anew on every call; null
    // while no pane is active.
    Filer* activeFiler() const;
    // Announces the Filer when the pane is the active one and the Filer is
    // not the one announced last.
    void setActiveFiler(FilerPane* filerPane, Filer* activeFiler);
    FilerPane* activeFilerPane() const;
    void setActiveFilerPane(FilerPane* activeFilerPane);

private:
    void onLaunchCopyFinished(const VfsCopyDto& request);
    void onLaunchCopyFailed(const VfsCopyDto& request);
    // Takes the launch waiting for that copy out of the pending ones; false
    // when none waits for it.
    bool takePendingLaunch(const QString& id, VfsDeferredLaunch* taken);
    void tellActiveFiler(const QString& message);

    QPointer<Filer> m_announcedFiler; // null once that Filer is gone
    QPointer<FilerPane> m_activePane;
    VfsCopyDto m_clipboard;
    VfsManager* m_jobs = nullptr; // made on first use
};
