#include "update/changelogbrowser.h"

#include "update/updatesource.h"

#include <QDesktopServices>
#include <QImage>
#include <QTextDocument>

ChangelogBrowser::ChangelogBrowser(QWidget* parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &ChangelogBrowser::onAnchorClicked);
}

QVariant ChangelogBrowser::loadResource(int type, const QUrl&)
{
    // An image stays an empty spot rather than a broken-image sign.
    if (type == QTextDocument::ImageResource) {
        QImage blank(1, 1, QImage::Format_ARGB32);
        blank.fill(Qt::transparent);
        return blank;
    }
    return QVariant();
}

void ChangelogBrowser::onAnchorClicked(const QUrl& link)
{
    if (UpdateSource::isBrowserAddress(link))
        QDesktopServices::openUrl(link);
}
