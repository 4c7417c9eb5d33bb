#include "update/updaterform.h"

#include "update/changelogbrowser.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {
template<typename T>
T* named(T* object, const char* name)
{
    object->setObjectName(QLatin1String(name));
    return object;
}

// Texts from the network and the feed are never read as markup.
QLabel* plainLabel(QWidget* parent, const char* name)
{
    auto* label = named(new QLabel(parent), name);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QVBoxLayout* pageLayout(QWidget* page, const char* name, int spacing)
{
    auto* layout = named(new QVBoxLayout(page), name);
    layout->setSpacing(spacing);
    layout->setContentsMargins(0, 12, 0, 0);
    return layout;
}

QSpacerItem* horizontalSpacer()
{
    return new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
}
} // namespace

void UpdaterForm::setupUi(QDialog* dialog)
{
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QStringLiteral("Updater"));
    dialog->resize(843, 403);

    horizontalLayout_2 = named(new QHBoxLayout(dialog), "horizontalLayout_2");
    horizontalLayout_2->setSpacing(24);
    verticalLayout = named(new QVBoxLayout, "verticalLayout");
    logo = named(new QLabel(dialog), "logo");
    logo->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    logo->setMaximumSize(48, 48);
    logo->setPixmap(QPixmap(QStringLiteral(":/icons/app-icon.svg")));
    logo->setScaledContents(true);
    logo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    verticalLayout->addWidget(logo);
    verticalLayout->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    horizontalLayout_2->addLayout(verticalLayout);

    stackedWidget = named(new QStackedWidget(dialog), "stackedWidget");

    // 0: up to date
    pageNoUpdateAvailable = named(new QWidget, "pageNoUpdateAvailable");
    auto* verticalLayout_6 = pageLayout(pageNoUpdateAvailable, "verticalLayout_6", 16);
    auto* horizontalLayout_4 = named(new QHBoxLayout, "horizontalLayout_4");
    currentVersion = plainLabel(pageNoUpdateAvailable, "currentVersion");
    QFont font = currentVersion->font();
    font.setWeight(QFont::Normal);
    currentVersion->setFont(font);
    horizontalLayout_4->addWidget(currentVersion);
    verticalLayout_6->addLayout(horizontalLayout_4);
    changelog2 = named(new ChangelogBrowser(pageNoUpdateAvailable), "changelog2");
    verticalLayout_6->addWidget(changelog2);
    auto* horizontalLayout_5 = named(new QHBoxLayout, "horizontalLayout_5");
    horizontalLayout_5->addItem(horizontalSpacer());
    closeButton = named(new QPushButton(pageNoUpdateAvailable), "closeButton");
    closeButton->setDefault(true);
    horizontalLayout_5->addWidget(closeButton);
    verticalLayout_6->addLayout(horizontalLayout_5);
    stackedWidget->addWidget(pageNoUpdateAvailable);

    // 1: downloading
    pageDownload = named(new QWidget, "pageDownload");
    pageDownload->setMaximumSize(16777215, 16777215);
    auto* verticalLayout_3 = pageLayout(pageDownload, "verticalLayout_3", 8);
    restartInfoLabel = plainLabel(pageDownload, "restartInfoLabel");
    verticalLayout_3->addWidget(restartInfoLabel);
    verticalLayout_3->addItem(new QSpacerItem(20, 16, QSizePolicy::Minimum, QSizePolicy::Fixed));
    downloadLabel = plainLabel(pageDownload, "downloadLabel");
    verticalLayout_3->addWidget(downloadLabel);
    progressBar = named(new QProgressBar(pageDownload), "progressBar");
    progressBar->setValue(0);
    verticalLayout_3->addWidget(progressBar);
    downloadProgress = plainLabel(pageDownload, "downloadProgress");
    verticalLayout_3->addWidget(downloadProgress);
    downloadTimeLeft = plainLabel(pageDownload, "downloadTimeLeft");
    verticalLayout_3->addWidget(downloadTimeLeft);
    verticalLayout_3->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stackedWidget->addWidget(pageDownload);

    // 2: download done
    pageDownloadDone = named(new QWidget, "pageDownloadDone");
    auto* verticalLayout_7 = pageLayout(pageDownloadDone, "verticalLayout_7", 8);
    downloadFinishedLabel = plainLabel(pageDownloadDone, "downloadFinishedLabel");
    downloadFinishedLabel->setMaximumSize(16777215, 16777215);
    verticalLayout_7->addWidget(downloadFinishedLabel);
    verticalLayout_7->addItem(new QSpacerItem(20, 309, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stackedWidget->addWidget(pageDownloadDone);

    // 3: update available
    pageUpdateAvailable = named(new QWidget, "pageUpdateAvailable");
    auto* verticalLayout_2 = pageLayout(pageUpdateAvailable, "verticalLayout_2", 16);
    updateVersionLabel = plainLabel(pageUpdateAvailable, "updateVersionLabel");
    verticalLayout_2->addWidget(updateVersionLabel);
    changelog = named(new ChangelogBrowser(pageUpdateAvailable), "changelog");
    verticalLayout_2->addWidget(changelog);
    auto* horizontalLayout = named(new QHBoxLayout, "horizontalLayout");
    horizontalLayout->setSpacing(7);
    skipUpdateButton = named(new QPushButton(pageUpdateAvailable), "skipUpdateButton");
    horizontalLayout->addWidget(skipUpdateButton);
    horizontalLayout->addItem(horizontalSpacer());
    remindMeLaterButton = named(new QPushButton(pageUpdateAvailable), "remindMeLaterButton");
    horizontalLayout->addWidget(remindMeLaterButton);
    updateButton = named(new QPushButton(pageUpdateAvailable), "updateButton");
    updateButton->setDefault(true);
    horizontalLayout->addWidget(updateButton);
    verticalLayout_2->addLayout(horizontalLayout);
    stackedWidget->addWidget(pageUpdateAvailable);

    // 4: error
    pageError = named(new QWidget, "pageError");
    auto* verticalLayout_4 = pageLayout(pageError, "verticalLayout_4", 8);
    errorLabel = plainLabel(pageError, "errorLabel");
    errorLabel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::MinimumExpanding);
    errorLabel->setMinimumHeight(100);
    errorLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    verticalLayout_4->addWidget(errorLabel);
    auto* horizontalLayout_3 = named(new QHBoxLayout, "horizontalLayout_3");
    horizontalLayout_3->addItem(horizontalSpacer());
    tryAgainButton = named(new QPushButton(pageError), "tryAgainButton");
    tryAgainButton->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    horizontalLayout_3->addWidget(tryAgainButton);
    verticalLayout_4->addLayout(horizontalLayout_3);
    stackedWidget->addWidget(pageError);

    // 5: querying
    pageQueryUpdate = named(new QWidget, "pageQueryUpdate");
    auto* verticalLayout_5 = pageLayout(pageQueryUpdate, "verticalLayout_5", 8);
    queryUpdateStatus = plainLabel(pageQueryUpdate, "queryUpdateStatus");
    queryUpdateStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    verticalLayout_5->addWidget(queryUpdateStatus);
    stackedWidget->addWidget(pageQueryUpdate);

    horizontalLayout_2->addWidget(stackedWidget);
    stackedWidget->setCurrentIndex(PageNoUpdateAvailable);
}
