#pragma once

#include <QList>
#include <QPalette>
#include <QString>

class QFont;
class QObject;
class QQmlEngine;
class QUrl;

// Reading a colour theme: a QML object of colours, sizes and icon colour
// lists ("<dir>/<name>Theme.qml") and an application style sheet
// ("<dir>/<name>ThemeStyle.qss"). The installed themes live in "themes"
// beside the program; a copy of the light theme is built in, so there is
// always a theme object, even when the installed file is missing or broken.
class ThemeLoader
{
public:
    // Registers the built-in QML files, themes and icons; call once before
    // anything reads them (the library is static, so nothing else would).
    static void initResources();

    // applicationDirPath() + "/themes", unless set otherwise (tests).
    static QString themeDirectory();
    static void setThemeDirectory(const QString& directory);
    static QString themeFile(const QString& directory, const QString& theme);
    static QString styleSheetFile(const QString& directory, const QString& theme);
    // The built-in light theme.
    static QUrl builtInThemeUrl();

    // Creates the theme object of a QML file on the engine, owned by the
    // caller. Null, with the reason in *error, when the file is missing or
    // does not build; a broken file writes no QML warning.
    static QObject* create(QQmlEngine* engine, const QUrl& url, QString* error = nullptr);
    // The theme file of the directory, or else the built-in theme: never
    // null unless the resources themselves are broken. *builtIn tells which.
    static QObject* createOrBuiltIn(QQmlEngine* engine, const QString& directory, const QString& theme,
                                    bool* builtIn = nullptr);

    // The palette with the theme's colours: WindowText "foreground", Text
    // "foreground2", ButtonText "foreground", Window "background", Base
    // "background2", Button "control", Midlight "controlHighlight", Light
    // "controlLightHighlight", Dark "controlShadow", Shadow
    // "controlDarkShadow", in every colour group.
    static QPalette palette(const QPalette& base, const QObject* theme);

    // The UTF-8 text of a style sheet file; false when it cannot be read.
    static bool readStyleSheet(const QString& path, QString* text);

    // 144 / the screen's logical dots per inch.
    static double scaleFactor(double logicalDpi);
    // Writes "pointSizeNormal" and "pixelSizeNormal" of the font, and from
    // the font's smooth sizes around its point size "pointSizeSmall" (two
    // below), "pointSizeMedium" (one above) and "pointSizeLarge" (two
    // above) where those exist.
    static void writeFontSizes(QObject* theme, const QFont& font, const QList<int>& smoothSizes);
};
