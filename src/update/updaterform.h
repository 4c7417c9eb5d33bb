#pragma once

class ChangelogBrowser;
class QDialog;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class QWidget;

// The widgets of the update dialog: a logo beside a stack of six pages (up
// to date, downloading, download done, update available, error, querying).
// setupUi() builds them on the dialog; the dialog sets the translated texts.
class UpdaterForm
{
public:
    enum Page {
        PageNoUpdateAvailable = 0,
        PageDownload = 1,
        PageDownloadDone = 2,
        PageUpdateAvailable = 3,
        PageError = 4,
        PageQueryUpdate = 5,
    };

    void setupUi(QDialog* dialog);

    QHBoxLayout* horizontalLayout_2 = nullptr;
    QVBoxLayout* verticalLayout = nullptr;
    QLabel* logo = nullptr;
    QStackedWidget* stackedWidget = nullptr;

    QWidget* pageNoUpdateAvailable = nullptr;
    QLabel* currentVersion = nullptr;
    ChangelogBrowser* changelog2 = nullptr;
    QPushButton* closeButton = nullptr;

    QWidget* pageDownload = nullptr;
    QLabel* restartInfoLabel = nullptr;
    QLabel* downloadLabel = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* downloadProgress = nullptr;
    QLabel* downloadTimeLeft = nullptr;

    QWidget* pageDownloadDone = nullptr;
    QLabel* downloadFinishedLabel = nullptr;

    QWidget* pageUpdateAvailable = nullptr;
    QLabel* updateVersionLabel = nullptr;
    ChangelogBrowser* changelog = nullptr;
    QPushButton* skipUpdateButton = nullptr;
    QPushButton* remindMeLaterButton = nullptr;
    QPushButton* updateButton = nullptr;

    QWidget* pageError = nullptr;
    QLabel* errorLabel = nullptr;
    QPushButton* tryAgainButton = nullptr;

    QWidget* pageQueryUpdate = nullptr;
    QLabel* queryUpdateStatus = nullptr;
};
