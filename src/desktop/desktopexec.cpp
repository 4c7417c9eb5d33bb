#include "desktop/desktopexec.h"

#include <glib.h>

namespace {

// Splits by the shell-like quoting rules of the standard (GLib's parser).
bool splitLine(const QString& exec, QStringList* words)
{
    const QByteArray utf8 = exec.toUtf8();
    if (utf8.contains('\0'))
        return false;
    int argc = 0;
    gchar** argv = nullptr;
    GError* error = nullptr;
    if (!g_shell_parse_argv(utf8.constData(), &argc, &argv, &error)) {
        g_clear_error(&error);
        return false;
    }
    for (int i = 0; i < argc; ++i)
        words->append(QString::fromUtf8(argv[i]));
    g_strfreev(argv);
    return true;
}

} // namespace

DesktopExec::Result DesktopExec::expand(const QString& exec, const std::vector<QString>& paths, const QString& name,
                                        const QString& icon, QString* program, QStringList* arguments)
{
    program->clear();
    arguments->clear();
    if (exec.trimmed().isEmpty() || exec.size() > MaxLineLength)
        return BadLine;
    QStringList words;
    if (!splitLine(exec, &words) || words.isEmpty())
        return BadLine;

    QStringList out;
    for (int w = 0; w < words.size(); ++w) {
        const QString& word = words.at(w);
        // Codes that stand for whole arguments.
        if (word == QLatin1String("%F") || word == QLatin1String("%U")) {
            if (paths.empty())
                return NoFile;
            for (const QString& path : paths)
                out.append(path);
            continue;
        }
        if (word == QLatin1String("%i")) {
            if (!icon.isEmpty())
                out << QStringLiteral("--icon") << icon;
            continue;
        }
        // Codes inside an argument.
        QString expanded;
        bool dropped = false;
        for (int i = 0; i < word.size(); ++i) {
            const QChar c = word.at(i);
            if (c != QLatin1Char('%') || i + 1 == word.size()) {
                expanded.append(c);
                continue;
            }
            const QChar code = word.at(++i);
            switch (code.unicode()) {
            case '%':
                expanded.append(QLatin1Char('%'));
                break;
            case 'f':
            case 'u':
                if (paths.size() != 1)
                    return OneFileOnly;
                expanded.append(paths.front());
                break;
            case 'F':
            case 'U':
                if (paths.empty())
                    return NoFile;
                if (paths.size() != 1)
                    return OneFileOnly; // a list inside one argument cannot be given
                expanded.append(paths.front());
                break;
            case 'c':
                expanded.append(name);
                break;
            case 'i':
                expanded.append(icon);
                break;
            default:
                // %k (the entry's file, not kept), the deprecated %d %D %n
                // %N %v %m and unknown codes: removed.
                if (word.size() == 2)
                    dropped = true;
                break;
            }
        }
        if (!dropped && !(w > 0 && expanded.isEmpty() && !word.isEmpty()))
            out.append(expanded);
        else if (w == 0)
            return BadLine;
    }
    if (out.isEmpty() || out.first().isEmpty())
        return BadLine;
    *program = out.takeFirst();
    *arguments = out;
    return Ok;
}
