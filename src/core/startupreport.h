#pragma once

#include <QString>

// What a program of Velm says when it cannot start, or starts with a fault
// the user must know of. Said on stderr, which the log channels never reach.

// Exit codes of a start that stops.
enum StartupExit {
    StartupExitAnotherInstance = 2, // the configuration directory is in use
    StartupExitDatabaseUnusable = 3, // velm.db cannot be opened or brought up to date
};

// Writes "velm: <text>" and a line end to stderr at once.
void reportStartupProblem(const QString& text);

// The sentence for a database that cannot be used: names the file and the
// cause, and that the file was left as it is.
QString databaseProblemText(const QString& path, const QString& cause);
