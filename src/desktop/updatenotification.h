#pragma once

#include <QWidget>

class QLabel;

// The banner above the node view that says a new version is available; its
// button hides the banner and asks for the update dialog. Starts hidden.
class UpdateNotification : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateNotification(QWidget* parent = nullptr);

signals:
    void showUpdate();

public slots:
    void updateAvailable(const QString& version);
    void updateDialogDone(int result);

private:
    QLabel* m_label = nullptr;
};
