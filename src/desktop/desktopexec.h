#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The command line of a desktop entry's Exec key, turned into a program and
// its arguments for a set of files by the rules of the desktop entry
// standard: the line (already unescaped from the key file) is split like a
// shell word list, so quotes and backslashes are honoured and runs of
// blanks are one separator; %f and %u take the one file, %F and %U every
// file as arguments of their own, %i the icon, %c the name, %% a percent
// sign; %k and the deprecated codes are dropped.
class DesktopExec
{
public:
    enum Result {
        Ok = 0,
        BadLine,     // empty, unbalanced quotes, or no program
        OneFileOnly, // %f or %u with other than one file
        NoFile,      // %F or %U with no file
    };

    // The longest Exec line that is looked at.
    static constexpr int MaxLineLength = 64 * 1024;

    static Result expand(const QString& exec, const std::vector<QString>& paths, const QString& name,
                         const QString& icon, QString* program, QStringList* arguments);
};
