#pragma once

#include <QDialog>

// The update dialog. Stand-in: it never finds an update; the check of the
// update feed, the download and the dialog's pages come later. The main
// window connects updateAvailable(), QDialog::finished() and show().
class Updater : public QDialog
{
    Q_OBJECT
public:
    explicit Updater(QWidget* parent = nullptr);

signals:
    void updateAvailable(const QString& version);
};
