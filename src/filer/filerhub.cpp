#include "filer/filerhub.h"

#include "core/logger.h"
#include "desktop/applauncher.h"
#include "filer/filer.h"
#include "filer/filerpane.h"
#include "jobs/vfsjobmodel.h"
#include "jobs/vfsmanager.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"

#include <QFile>

#include <algorithm>
#include <sys/stat.h>

namespace {

constexpr int kLaunchStatusMs = 8000;

// A regular file, not a link.
bool isRegularFile(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

FilerHub::FilerHub(QObject* parent) : QObject(parent) {}

FilerHub::~FilerHub() = default;

VfsCopyDto* FilerHub::clipboard()
{
    return &m_clipboard;
}

Filer* FilerHub::activeFiler() const
{
    return m_activePane ? m_activePane->currentFiler() : nullptr;
}

void FilerHub::setActiveFiler(FilerPane* filerPane, Filer* activeFiler)
{
    if (!filerPane || filerPane != m_activePane)
        return;
    // A Filer made at the address of a closed one is still news: the
    // remembered pointer went null when the old one was destroyed.
    if (m_announcedFiler.data() == activeFiler)
        return;
    m_announcedFiler = activeFiler;
    emit activeFilerChanged();
}

FilerPane* FilerHub::activeFilerPane() const
{
    return m_activePane;
}

void FilerHub::setActiveFilerPane(FilerPane* activeFilerPane)
{
    if (activeFilerPane == m_activePane)
        return;
    m_activePane = activeFilerPane;
    emit activeFilerPaneChanged();
}

// ---- files of other machines opened with an application -----------------------

void FilerHub::startDeferredLaunch(const VfsDeferredLaunch& launch)
{
    m_clipboard.pendingLaunches.push_back(launch);
    VfsCopyDto request;
    request.id = launch.id;
    request.srcPeerUuid = launch.srcPeerUuid;
    request.dstPeerUuid = launch.dstPeerUuid;
    request.move = launch.move;
    request.overwrite = launch.overwrite;
    request.overwriteAll = launch.overwriteAll;
    request.entries = launch.entries;
    request.dstPath = launch.dstPath;
    Logger::log(Logger::VFS1, "deferred launch %s: copy %u files to %s", qUtf8Printable(launch.id),
                unsigned(launch.entries.size()), qUtf8Printable(launch.dstPath));
    jobs()->copy(request);
}

VfsManager* FilerHub::jobs()
{
    // The job model is made before the window; the copies live beside it.
    if (!m_jobs) {
        m_jobs = new VfsManager(PeerModel::instance(), VfsJobModel::instance(), this);
        // Only the copies a launch waits for are taken up here.
        connect(m_jobs, &VfsManager::copyFinished, this, &FilerHub::onLaunchCopyFinished);
        connect(m_jobs, &VfsManager::copyFailed, this, &FilerHub::onLaunchCopyFailed);
    }
    return m_jobs;
}

bool FilerHub::takePendingLaunch(const QString& id, VfsDeferredLaunch* taken)
{
    std::vector<VfsDeferredLaunch>& pending = m_clipboard.pendingLaunches;
    const auto it = std::find_if(pending.begin(), pending.end(),
                                 [&](const VfsDeferredLaunch& launch) { return launch.id == id; });
    if (it == pending.end())
        return false;
    if (taken)
        *taken = std::move(*it);
    pending.erase(it);
    return true;
}

void FilerHub::tellActiveFiler(const QString& message)
{
    if (Filer* filer = activeFiler())
        filer->showStatusMessage(message, kLaunchStatusMs);
}

void FilerHub::onLaunchCopyFinished(const VfsCopyDto& request)
{
    VfsDeferredLaunch launch;
    if (!takePendingLaunch(request.id, &launch))
        return;
    // Only whole local files are opened: a copy that did not bring one over
    // leaves no file (or an older one that a failure would have reported).
    for (const QString& local : launch.localPaths) {
        if (!isRegularFile(local)) {
            Logger::log(Logger::VFS1, "deferred launch %s: %s missing, nothing opened", qUtf8Printable(launch.id),
                        qUtf8Printable(local));
            //% "The copy did not finish; nothing was opened"
            tellActiveFiler(qtTrId("launch-copy-failed"));
            return;
        }
    }
    Logger::log(Logger::VFS1, "deferred launch %s: launch app %d", qUtf8Printable(launch.id), launch.appId);
    if (AppLauncher* launcher = AppLauncher::current())
        launcher->launch(launch.appId, ownPeerUuid(), launch.localPaths);
    else
        Logger::log(Logger::ERR1, "deferred launch %s: no application launcher", qUtf8Printable(launch.id));
}

void FilerHub::onLaunchCopyFailed(const VfsCopyDto& request)
{
    if (!takePendingLaunch(request.id, nullptr))
        return;
    Logger::log(Logger::VFS1, "deferred launch %s dropped: its copy failed", qUtf8Printable(request.id));
    tellActiveFiler(qtTrId("launch-copy-failed"));
}
