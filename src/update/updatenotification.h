#pragma once

#include <QWidget>

class QLabel;

// The banner above the node view that says a new version is available; its
// button hides the banner and asks for the update dialog. Starts hidden; a
// finished update dialog (any result) hides it. Painted on a light green
// vertical gradient.
class UpdateNotification : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateNotification(QWidget* parent = nullptr);

    static QColor baseColor();

signals:
    void showUpdate();

public slots:
    void updateAvailable(const QString& version);
    void updateDialogDone(int result);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_label = nullptr;
};
