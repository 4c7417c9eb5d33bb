#include "update/changelogbrowser.h"

#include "update/updatesource.h"

#include <QDesktopServices>

ChangelogBrowser::ChangelogBrowser(QWidget* parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &ChangelogBrowser::onAnchorClicked);
}

QVariant ChangelogBrowser::loadResource(int, const QUrl&)
{
    return QVariant();
}

void ChangelogBrowser::onAnchorClicked(const QUrl& link)
{
    if (UpdateSource::isBrowserAddress(link))
        QDesktopServices::openUrl(link);
}
