#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

// What "7z l -ba -slt" says about an archive: the entries directly at its top
// (the only thing that decides where an extraction goes) and whether anything
// in it must not be written at all. The output comes from a program reading a
// file of unknown origin, so every entry is checked before it counts.
class ArchiveListing
{
public:
    enum Fault {
        NoFault = 0,
        AbsolutePath,    // an entry's path starts at "/"
        ParentComponent, // an entry's path holds ".."
        UnsafeName,      // a control character or a backslash in a path
        UnsafeLink,      // a link whose target is absolute or climbs out
        UncheckedLink,   // a link whose target the listing does not give
        Encrypted,       // an entry needs a password
        Malformed,       // a line that is not "Key = Value", an entry without path
        TooLarge,        // more output or entries than any archive listing needs
    };

    static constexpr int MaxOutputBytes = 64 * 1024 * 1024;
    static constexpr int MaxEntries = 4 * 1024 * 1024;

    // Reads the whole output; the last entry counts even without a blank line
    // after it. Answers false at the first fault, which fault() then names.
    bool parse(const QByteArray& output);

    Fault fault() const { return m_fault; }
    // The path of the entry that was refused (as listed).
    QString faultEntry() const { return m_faultEntry; }

    // Files and folders directly at the top, in listing order, each once.
    const QStringList& topFiles() const { return m_topFiles; }
    const QStringList& topFolders() const { return m_topFolders; }
    int topLevelCount() const { return m_topFiles.size() + m_topFolders.size(); }
    int entryCount() const { return m_entries; }

    // The one check of an entry's path as listed: relative, no "..", no
    // control character or backslash. "." components and doubled slashes
    // are dropped; the result (possibly empty, meaning the archive's own
    // top) is written to *normalised.
    static Fault checkEntryPath(const QString& path, QString* normalised);
    // A link at the (normalised) path linkPath with the given target must
    // stay inside the archive's own folders.
    static Fault checkLinkTarget(const QString& linkPath, const QString& target);

private:
    struct Entry;
    bool commit(Entry& entry);
    void addTop(const QString& normalised, bool folder);

    Fault m_fault = NoFault;
    QString m_faultEntry;
    QStringList m_topFiles;
    QStringList m_topFolders;
    QSet<QString> m_topFileSet;
    QSet<QString> m_topFolderSet;
    int m_entries = 0;
};
