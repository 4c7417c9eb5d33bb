#include "quick/themeloader.h"

#include "core/logger.h"

#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QUrl>

void ThemeLoader::initResources()
{
    Q_INIT_RESOURCE(quick);
}

namespace {
QString& themeDirectoryOverride()
{
    static QString directory;
    return directory;
}
} // namespace

QString ThemeLoader::themeDirectory()
{
    if (!themeDirectoryOverride().isEmpty())
        return themeDirectoryOverride();
    return QCoreApplication::applicationDirPath() + QStringLiteral("/themes");
}

void ThemeLoader::setThemeDirectory(const QString& directory)
{
    themeDirectoryOverride() = directory;
}

QString ThemeLoader::themeFile(const QString& directory, const QString& theme)
{
    return QStringLiteral("%1/%2Theme.qml").arg(directory, theme);
}

QString ThemeLoader::styleSheetFile(const QString& directory, const QString& theme)
{
    return QStringLiteral("%1/%2ThemeStyle.qss").arg(directory, theme);
}

QUrl ThemeLoader::builtInThemeUrl()
{
    return QUrl(QStringLiteral("qrc:/themes/LightTheme.qml"));
}

QObject* ThemeLoader::create(QQmlEngine* engine, const QUrl& url, QString* error)
{
    if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) {
        if (error)
            *error = QStringLiteral("no such file");
        return nullptr;
    }
    QQmlComponent component(engine, url, QQmlComponent::PreferSynchronous);
    // Asking a broken component for an object would warn; ask it for its errors.
    if (!component.isReady()) {
        if (error)
            *error = component.isError() ? component.errorString() : QStringLiteral("not loaded");
        return nullptr;
    }
    QObject* object = component.create();
    if (!object) {
        if (error)
            *error = component.errorString();
        return nullptr;
    }
    QQmlEngine::setObjectOwnership(object, QQmlEngine::CppOwnership);
    return object;
}

QObject* ThemeLoader::createOrBuiltIn(QQmlEngine* engine, const QString& directory, const QString& theme,
                                      bool* builtIn)
{
    const QString path = themeFile(directory, theme);
    QString error;
    QObject* object = create(engine, QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()), &error);
    if (builtIn)
        *builtIn = !object;
    if (object)
        return object;
    Logger::log(Logger::ERR1, "failed to load theme: %s (%s), using the built-in theme", qUtf8Printable(error),
                qUtf8Printable(path));
    return create(engine, builtInThemeUrl(), &error);
}

QPalette ThemeLoader::palette(const QPalette& base, const QObject* theme)
{
    QPalette p = base;
    auto colour = [theme](const char* name) { return QColor(theme->property(name).toString()); };
    const QPalette::ColorRole roles[] = {
        QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::Window, QPalette::Base,
        QPalette::Button, QPalette::Midlight, QPalette::Light, QPalette::Dark, QPalette::Shadow,
    };
    const char* names[] = {
        "foreground", "foreground2", "foreground", "background", "background2",
        "control", "controlHighlight", "controlLightHighlight", "controlShadow", "controlDarkShadow",
    };
    for (size_t i = 0; i < sizeof(roles) / sizeof(roles[0]); ++i) {
        const QColor c = colour(names[i]);
        if (roles[i] == QPalette::Text)
            p.setBrush(QPalette::All, QPalette::Text, QBrush(c, Qt::SolidPattern));
        else
            p.setColor(QPalette::All, roles[i], c);
    }
    p.setColor(QPalette::Inactive, QPalette::Base, colour("background2"));
    Logger::log(Logger::NFO1, "foreground: %s", qUtf8Printable(theme->property("foreground").toString()));
    return p;
}

bool ThemeLoader::readStyleSheet(const QString& path, QString* text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *text = QString::fromUtf8(file.readAll());
    return true;
}

double ThemeLoader::scaleFactor(double logicalDpi)
{
    return logicalDpi > 0 ? 144.0 / logicalDpi : 1.0;
}

void ThemeLoader::writeFontSizes(QObject* theme, const QFont& font, const QList<int>& smoothSizes)
{
    theme->setProperty("pointSizeNormal", font.pointSizeF());
    theme->setProperty("pixelSizeNormal", QFontMetrics(font).height());
    const int i = smoothSizes.indexOf(font.pointSize());
    if (i < 1)
        return; // not found, or the smallest: the theme's own sizes stay
    if (i >= 2)
        theme->setProperty("pointSizeSmall", smoothSizes.at(i - 2));
    if (i + 1 < smoothSizes.size())
        theme->setProperty("pointSizeMedium", smoothSizes.at(i + 1));
    if (i + 2 < smoothSizes.size())
        theme->setProperty("pointSizeLarge", smoothSizes.at(i + 2));
}
