#pragma once

#include <QDialog>

#include <memory>

class QLabel;
class QPushButton;
struct AboutDialogForm;

// The non-modal "About velm" box: version, the web-site link (a setting;
// hidden when empty), this machine's onion address, the Qt version, the
// graphics API of the main window's QML scene and a button for the folder
// of open-source licences. Every text can be selected and copied. It
// deletes itself when closed.
class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    // graphicsApi: the QSGRendererInterface::GraphicsApi of the main
    // window's QML view; named only for 0 to 9.
    explicit AboutDialog(int graphicsApi, QWidget* parent = nullptr);
    ~AboutDialog() override;

    // The renderer row for a graphics API value: "Name (n)" for 0 to 9,
    // else empty.
    static QString rendererText(int graphicsApi);

    QLabel* appVersionLabel() const;
    QLabel* onionAddressLabel() const;
    QLabel* qtVersionLabel() const;
    QLabel* graphicsApiLabel() const;
    QLabel* webSiteLabel() const;
    QPushButton* licensesButton() const;
    QPushButton* closeButton() const;

signals:
    void openLicensesFolder();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<AboutDialogForm> ui;
};
