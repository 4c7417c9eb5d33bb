#pragma once

#include "jobs/vfscopydto.h"

#include <QObject>
#include <QPointer>

class Filer;
class FilerPane;

// What the file panes of one main window share: which pane is active and,
// through it, which Filer; and the internal clipboard of files. Every shared
// action reaches every Filer; a Filer acts only when it is activeFiler().
class FilerHub : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Filer* activeFiler READ activeFiler NOTIFY activeFilerChanged)
public:
    explicit FilerHub(QObject* parent = nullptr);
    ~FilerHub() override;

    // The clipboard record, read and overwritten in place.
    VfsCopyDto* clipboard();

signals:
    void activeFilerChanged();
    void activeFilerPaneChanged();

public slots:
    // The current Filer of the active pane, asked anew on every call; null
    // while no pane is active.
    Filer* activeFiler() const;
    // Announces the Filer when the pane is the active one and the Filer is
    // not the one announced last.
    void setActiveFiler(FilerPane* filerPane, Filer* activeFiler);
    FilerPane* activeFilerPane() const;
    void setActiveFilerPane(FilerPane* activeFilerPane);

private:
    QPointer<Filer> m_announcedFiler; // null once that Filer is gone
    QPointer<FilerPane> m_activePane;
    VfsCopyDto m_clipboard;
};
