#include "update/aboutdialog.h"

#include "core/rendererapinames.h"
#include "manager/connectionmanager.h"
#include "update/updatesource.h"
#include "update/updater.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileIconProvider>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

// The widgets of the about box.
struct AboutDialogForm
{
    QLabel* appIcon = nullptr;
    QLabel* appVersion = nullptr;
    QLabel* webSite = nullptr;
    QLabel* torVersion = nullptr;
    QLabel* qtVersion = nullptr;
    QLabel* graphicsApi = nullptr;
    QPushButton* showLicensesButton = nullptr;
    QLabel* notice = nullptr;
    QPushButton* closeButton = nullptr;

    void setupUi(QDialog* dialog);
};

namespace {
template<typename T>
T* named(T* object, const char* name)
{
    object->setObjectName(QLatin1String(name));
    return object;
}

// Plain text that a user can select and copy.
QLabel* textLabel(QWidget* parent, const char* name, const QString& text = QString())
{
    auto* label = named(new QLabel(text, parent), name);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QSpacerItem* horizontalSpacer()
{
    return new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
}

QSpacerItem* verticalSpacer()
{
    return new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
}
} // namespace

void AboutDialogForm::setupUi(QDialog* dialog)
{
    dialog->setObjectName(QStringLiteral("AboutDialog"));
    dialog->setWindowModality(Qt::NonModal);
    dialog->setModal(false);
    dialog->resize(387, 410);
    dialog->setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));

    auto* verticalLayout = named(new QVBoxLayout(dialog), "verticalLayout");
    auto* horizontalLayout_4 = named(new QHBoxLayout, "horizontalLayout_4");
    appIcon = named(new QLabel(dialog), "appIcon");
    appIcon->setMaximumSize(64, 64);
    appIcon->setMinimumSize(64, 64);
    appIcon->setPixmap(QPixmap(QStringLiteral(":/icons/app-icon.svg")));
    appIcon->setScaledContents(true);
    appIcon->setAlignment(Qt::AlignCenter);
    horizontalLayout_4->addWidget(appIcon);
    verticalLayout->addLayout(horizontalLayout_4);

    auto* horizontalLayout_3 = named(new QHBoxLayout, "horizontalLayout_3");
    horizontalLayout_3->setSpacing(7);
    horizontalLayout_3->setContentsMargins(-1, -1, -1, 0);
    horizontalLayout_3->addItem(horizontalSpacer());
    auto* label_2 = textLabel(dialog, "label_2", QStringLiteral("velm"));
    label_2->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
    QFont bold = label_2->font();
    bold.setWeight(QFont::Bold);
    label_2->setFont(bold);
    label_2->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label_2->setMargin(0);
    horizontalLayout_3->addWidget(label_2);
    //% "public beta"
    auto* label_4 = textLabel(dialog, "label_4", qtTrId("about-public-beta"));
    label_4->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    label_4->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label_4->setMargin(0);
    horizontalLayout_3->addWidget(label_4);
    //% "version"
    horizontalLayout_3->addWidget(textLabel(dialog, "label_3", qtTrId("about-version")));
    appVersion = textLabel(dialog, "appVersion", QStringLiteral("0.0.0"));
    horizontalLayout_3->addWidget(appVersion);
    horizontalLayout_3->addItem(horizontalSpacer());
    verticalLayout->addLayout(horizontalLayout_3);

    webSite = named(new QLabel(dialog), "label_10");
    webSite->setTextFormat(Qt::RichText);
    webSite->setAlignment(Qt::AlignCenter);
    webSite->setIndent(0);
    webSite->setOpenExternalLinks(false);
    webSite->setTextInteractionFlags(Qt::TextBrowserInteraction);
    verticalLayout->addWidget(webSite);

    auto* horizontalLayout = named(new QHBoxLayout, "horizontalLayout");
    horizontalLayout->setContentsMargins(-1, 12, -1, -1);
    // Centred under the name, like the lines above it.
    horizontalLayout->addItem(horizontalSpacer());
    auto* gridLayout = named(new QGridLayout, "gridLayout");
    gridLayout->setContentsMargins(0, 16, -1, -1);
    //% "Onion address:"
    gridLayout->addWidget(textLabel(dialog, "label_5", qtTrId("about-onion-address")), 0, 0);
    torVersion = textLabel(dialog, "torVersion", QStringLiteral("0.0.0"));
    gridLayout->addWidget(torVersion, 0, 1);
    qtVersion = textLabel(dialog, "qtVersion", QStringLiteral("0.0.0"));
    gridLayout->addWidget(qtVersion, 1, 1);
    //% "Qt version:"
    gridLayout->addWidget(textLabel(dialog, "label_7", qtTrId("about-qt-version")), 1, 0);
    //% "Renderer:"
    gridLayout->addWidget(textLabel(dialog, "label", qtTrId("about-renderer")), 2, 0);
    //% "unknown"
    graphicsApi = textLabel(dialog, "graphicsApi", qtTrId("about-renderer-unknown"));
    gridLayout->addWidget(graphicsApi, 2, 1);
    horizontalLayout->addLayout(gridLayout);
    horizontalLayout->addItem(horizontalSpacer());
    verticalLayout->addLayout(horizontalLayout);
    verticalLayout->addItem(verticalSpacer());

    auto* horizontalLayout_5 = named(new QHBoxLayout, "horizontalLayout_5");
    //% "Open Source Licenses"
    showLicensesButton = named(new QPushButton(qtTrId("about-licenses"), dialog), "showLicensesButton");
    showLicensesButton->setMinimumHeight(32);
    showLicensesButton->setFlat(true);
    horizontalLayout_5->addWidget(showLicensesButton);
    horizontalLayout_5->addItem(horizontalSpacer());
    verticalLayout->addLayout(horizontalLayout_5);
    verticalLayout->addItem(verticalSpacer());

    //% "velm connects your own machines, and nothing else."
    notice = textLabel(dialog, "notice", qtTrId("about-notice"));
    notice->setWordWrap(true);
    verticalLayout->addWidget(notice);

    auto* horizontalLayout_2 = named(new QHBoxLayout, "horizontalLayout_2");
    horizontalLayout_2->addItem(horizontalSpacer());
    closeButton = named(new QPushButton(dialog), "closeButton");
    closeButton->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    closeButton->setMinimumSize(0, 0);
    horizontalLayout_2->addWidget(closeButton);
    verticalLayout->addLayout(horizontalLayout_2);
}

AboutDialog::AboutDialog(int graphicsApi, QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      ui(new AboutDialogForm)
{
    ui->setupUi(this);
    setModal(false);
    //% "About velm"
    setWindowTitle(qtTrId("action-about-velm"));
    ui->appVersion->setText(QLatin1String(Updater::CurrentVersion));

    const QUrl site(UpdateSource::webSite());
    if (UpdateSource::isBrowserAddress(site)) {
        const QString shown = site.toDisplayString().toHtmlEscaped();
        ui->webSite->setText(QStringLiteral("<a href=\"%1\" style=\"color:#2a6ac8;\">%2</a>")
                                 .arg(QString::fromLatin1(site.toEncoded()).toHtmlEscaped(), shown));
        connect(ui->webSite, &QLabel::linkActivated, this, [](const QString& link) {
            const QUrl url(link);
            if (UpdateSource::isBrowserAddress(url))
                QDesktopServices::openUrl(url);
        });
    } else {
        ui->webSite->hide();
    }

    // The manager lives on the io thread and changes the address there; it
    // hands out a copy taken under its lock.
    if (ConnectionManager* manager = ConnectionManager::instance()) {
        const QString onion = manager->onionAddress();
        if (!onion.isEmpty())
            ui->torVersion->setText(onion);
    }
    ui->qtVersion->setText(QString::fromLatin1(qVersion()));
    const QString renderer = rendererText(graphicsApi);
    if (!renderer.isEmpty())
        ui->graphicsApi->setText(renderer);

    //% "Close"
    ui->closeButton->setText(qtTrId("btn-close"));
    connect(ui->closeButton, &QPushButton::clicked, this, &QWidget::close);
    ui->showLicensesButton->setIcon(QFileIconProvider().icon(QFileIconProvider::Folder));
    connect(ui->showLicensesButton, &QPushButton::clicked, this, &AboutDialog::openLicensesFolder);
}

AboutDialog::~AboutDialog() = default;

QString AboutDialog::rendererText(int graphicsApi)
{
    if (graphicsApi < 0 || graphicsApi >= rendererApiNames.size())
        return QString();
    return QStringLiteral("%1 (%2)").arg(rendererApiNames.at(graphicsApi)).arg(graphicsApi);
}

QLabel* AboutDialog::appVersionLabel() const { return ui->appVersion; }
QLabel* AboutDialog::onionAddressLabel() const { return ui->torVersion; }
QLabel* AboutDialog::qtVersionLabel() const { return ui->qtVersion; }
QLabel* AboutDialog::graphicsApiLabel() const { return ui->graphicsApi; }
QLabel* AboutDialog::webSiteLabel() const { return ui->webSite; }
QPushButton* AboutDialog::licensesButton() const { return ui->showLicensesButton; }
QPushButton* AboutDialog::closeButton() const { return ui->closeButton; }

void AboutDialog::closeEvent(QCloseEvent* event)
{
    deleteLater();
    QDialog::closeEvent(event);
}
