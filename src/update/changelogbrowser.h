#pragma once

#include <QTextBrowser>

// Shows a changelog that came from the network. It follows no link itself
// and loads no file, image or style sheet (an image is a blank pixel): an
// http or https link is handed to the desktop's browser, any other link is
// ignored.
class ChangelogBrowser : public QTextBrowser
{
    Q_OBJECT
public:
    explicit ChangelogBrowser(QWidget* parent = nullptr);

    QVariant loadResource(int type, const QUrl& name) override;

private slots:
    void onAnchorClicked(const QUrl& link);
};
