#pragma once

#include "core/rendererapinames.h"

#include <QString>
#include <QStringList>

#include <functional>

class MainWindow;
class QLocale;
class QTranslator;

// Runs the whole program: start-up, the event loop, shutdown. `shown` is
// called once the main window is visible (the tests close it from there).
// A start that cannot go on says why on stderr and returns a StartupExit
// code: another instance holds the configuration directory, or velm.db
// cannot be used (it is then left as it is).
int velmMain(int argc, char** argv, const std::function<void(MainWindow&)>& shown = {});

// The renderer named by the last "--renderer=" argument (argument 0, the
// program, is not looked at); empty when none names one.
QString rendererName(const QStringList& arguments);

// Removes the "rollback" and "update" directories beside the program, unless
// the program itself runs from a directory named "update". Returns the paths
// that could not be removed.
QStringList removeLeftoverUpdateDirectories(const QString& applicationDirectory);

// Loads the program's translation for `locale` (falling back to English, which
// then becomes `locale`) and Qt's own texts for it, and installs them.
void installTranslators(QTranslator& velmTranslator, QTranslator& qtTranslator, QLocale& locale);

// The text of the id in every translation built into the program, each once.
QStringList shippedTexts(const char* id);

// Shows why the program cannot start in a message box, where there is a
// screen to show it on (not on the offscreen and minimal platforms). The
// text is said on stderr as well, by the caller.
void showStartupProblem(const QString& text);

// The number of the last SIGHUP caught (0 when none was); the program goes
// on after it. SIGINT and SIGTERM end it (see QuitSignals).
int lastSignal();
