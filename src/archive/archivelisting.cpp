#include "archive/archivelisting.h"

#include <QVector>

struct ArchiveListing::Entry
{
    bool hasPath = false;
    QString path;
    bool folder = false;
    bool linkType = false; // the mode says 'l'
    QString linkTarget;
    QString hardLinkTarget;
    bool encrypted = false;
    int lines = 0;
};

namespace {

// The file type letter of an "ls -l" style mode, as 7z prints it in "Mode ="
// (tar) or as the last word of "Attributes =" (zip, 7z).
QChar modeType(const QString& value)
{
    const QStringList words = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!words.isEmpty() && words.last().size() == 10)
        return words.last().at(0);
    return QChar();
}

} // namespace

ArchiveListing::Fault ArchiveListing::checkEntryPath(const QString& path, QString* normalised)
{
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('\\'))
            return UnsafeName;
    }
    if (path.startsWith(QLatin1Char('/')))
        return AbsolutePath;
    QStringList kept;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".."))
            return ParentComponent;
        if (part != QLatin1String("."))
            kept.append(part);
    }
    if (normalised)
        *normalised = kept.join(QLatin1Char('/'));
    return NoFault;
}

ArchiveListing::Fault ArchiveListing::checkLinkTarget(const QString& linkPath, const QString& target)
{
    for (const QChar c : target) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('\\'))
            return UnsafeName;
    }
    if (target.isEmpty() || target.startsWith(QLatin1Char('/')))
        return UnsafeLink;
    // Resolve the target from the link's own folder; it may go up only as
    // far as the archive's top.
    QStringList at = linkPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!at.isEmpty())
        at.removeLast();
    for (const QString& part : target.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (at.isEmpty())
                return UnsafeLink;
            at.removeLast();
        } else {
            at.append(part);
        }
    }
    return NoFault;
}

void ArchiveListing::addTop(const QString& normalised, bool folder)
{
    if (normalised.isEmpty())
        return; // the archive's top itself, listed as "."
    const int slash = normalised.indexOf(QLatin1Char('/'));
    const QString top = slash >= 0 ? normalised.left(slash) : normalised;
    if (slash >= 0 || folder) {
        if (!m_topFolderSet.contains(top)) {
            m_topFolderSet.insert(top);
            m_topFolders.append(top);
        }
    } else if (!m_topFileSet.contains(top)) {
        m_topFileSet.insert(top);
        m_topFiles.append(top);
    }
}

bool ArchiveListing::commit(Entry& entry)
{
    if (entry.lines == 0)
        return true;
    const Entry e = entry;
    entry = Entry();
    if (!e.hasPath) {
        m_fault = Malformed;
        return false;
    }
    m_faultEntry = e.path;
    QString normalised;
    Fault f = checkEntryPath(e.path, &normalised);
    if (f == NoFault && e.encrypted)
        f = Encrypted;
    if (f == NoFault && !e.linkTarget.isEmpty())
        f = checkLinkTarget(normalised, e.linkTarget);
    else if (f == NoFault && e.linkType)
        f = UncheckedLink;
    if (f == NoFault && !e.hardLinkTarget.isEmpty()) {
        QString targetPath;
        f = checkEntryPath(e.hardLinkTarget, &targetPath);
        if (f == AbsolutePath || f == ParentComponent)
            f = UnsafeLink;
    }
    if (f != NoFault) {
        m_fault = f;
        return false;
    }
    m_faultEntry.clear();
    if (++m_entries > MaxEntries) {
        m_fault = TooLarge;
        return false;
    }
    addTop(normalised, e.folder);
    return true;
}

bool ArchiveListing::parse(const QByteArray& output)
{
    m_fault = NoFault;
    m_faultEntry.clear();
    m_topFiles.clear();
    m_topFolders.clear();
    m_topFileSet.clear();
    m_topFolderSet.clear();
    m_entries = 0;
    if (output.size() > MaxOutputBytes) {
        m_fault = TooLarge;
        return false;
    }
    Entry entry;
    int from = 0;
    while (from < output.size()) {
        int end = output.indexOf('\n', from);
        if (end < 0)
            end = output.size(); // the last line, without a line end
        QByteArray line = output.mid(from, end - from);
        from = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.trimmed().isEmpty()) {
            if (!commit(entry))
                return false;
            continue;
        }
        const int eq = line.indexOf(" =");
        if (eq <= 0) {
            m_fault = Malformed;
            m_faultEntry = entry.path;
            return false;
        }
        const QByteArray key = line.left(eq).trimmed();
        // "Key = Value": the value starts after the one blank behind '='.
        QByteArray raw = line.mid(eq + 2);
        if (raw.startsWith(' '))
            raw.remove(0, 1);
        ++entry.lines;
        if (key == "Path") {
            const QString value = QString::fromUtf8(raw);
            if (entry.hasPath) {
                m_fault = Malformed; // two paths in one entry: a name with a line end
                m_faultEntry = entry.path;
                return false;
            }
            entry.hasPath = true;
            entry.path = value;
        } else if (key == "Folder") {
            if (raw.trimmed() == "+")
                entry.folder = true;
        } else if (key == "Mode" || key == "Attributes") {
            const QString value = QString::fromUtf8(raw);
            // Windows attribute letters come first in "Attributes" ("D" for a folder).
            const QString flags = value.split(QLatin1Char(' '), Qt::SkipEmptyParts).value(0);
            if (key == "Attributes" && flags.contains(QLatin1Char('D'))
                && flags.toUpper() == flags && flags.size() <= 8)
                entry.folder = true;
            const QChar type = modeType(value);
            if (type == QLatin1Char('l'))
                entry.linkType = true;
            else if (type == QLatin1Char('d'))
                entry.folder = true;
        } else if (key == "Symbolic Link") {
            entry.linkTarget = QString::fromUtf8(raw);
        } else if (key == "Hard Link") {
            entry.hardLinkTarget = QString::fromUtf8(raw);
        } else if (key == "Encrypted") {
            if (raw.trimmed() == "+")
                entry.encrypted = true;
        }
    }
    return commit(entry);
}
