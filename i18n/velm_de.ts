<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="window-title">
        <source>Velm</source>
        <translation>Velm</translation>
    </message>
    <message id="label-this-pc">
        <source>This PC</source>
        <translation>Dieser PC</translation>
    </message>
    <message id="file-copy-count" numerus="yes">
        <source>(%n. Copy)</source>
        <translation>
            <numerusform>(Kopie)</numerusform>
            <numerusform>(%n. Kopie)</numerusform>
        </translation>
    </message>
    <message id="file-copy-q-overwrite">
        <source>“%1” already exists. Replace it?</source>
        <translation>„%1“ existiert bereits. Ersetzen?</translation>
    </message>
    <message id="open-src-file-access-denied">
        <source>Access denied: “%1” cannot be read.</source>
        <translation>Zugriff verweigert: „%1“ kann nicht gelesen werden.</translation>
    </message>
    <message id="open-dst-file-access-denied">
        <source>Access denied: “%1” cannot be written.</source>
        <translation>Zugriff verweigert: „%1“ kann nicht geschrieben werden.</translation>
    </message>
    <message id="copy-list-access-denied">
        <source>Access denied: the folder “%1” cannot be read.</source>
        <translation>Zugriff verweigert: Der Ordner „%1“ kann nicht gelesen werden.</translation>
    </message>
    <message id="copy-dst-dir-access-denied">
        <source>Access denied: the folder “%1” cannot be created.</source>
        <translation>Zugriff verweigert: Der Ordner „%1“ kann nicht angelegt werden.</translation>
    </message>
    <message id="copy-dst-not-a-directory">
        <source>“%1” exists and is not a folder.</source>
        <translation>„%1“ existiert und ist kein Ordner.</translation>
    </message>
    <message id="copy-into-itself">
        <source>The folder “%1” cannot be copied into itself.</source>
        <translation>Der Ordner „%1“ kann nicht in sich selbst kopiert werden.</translation>
    </message>
    <message id="copy-unsafe-name">
        <source>The source gave a name that cannot be used: “%1”.</source>
        <translation>Die Quelle nannte einen unbrauchbaren Namen: „%1“.</translation>
    </message>
    <message id="copy-failure-no-space">
        <source>No space left on %1: “%2”.</source>
        <translation>Kein Speicherplatz mehr auf %1: „%2“.</translation>
    </message>
    <message id="copy-failure-not-permitted">
        <source>Not permitted on %1: “%2”.</source>
        <translation>Auf %1 nicht erlaubt: „%2“.</translation>
    </message>
    <message id="copy-failure-not-found">
        <source>Not found on %1: “%2”.</source>
        <translation>Auf %1 nicht gefunden: „%2“.</translation>
    </message>
    <message id="copy-failure-unreachable">
        <source>%1 cannot be reached.</source>
        <translation>%1 ist nicht erreichbar.</translation>
    </message>
    <message id="copy-failure-timed-out">
        <source>%1 did not answer in time: “%2”.</source>
        <translation>%1 hat nicht rechtzeitig geantwortet: „%2“.</translation>
    </message>
    <message id="copy-failure-changed">
        <source>Changed while copied: “%1”.</source>
        <translation>Während des Kopierens geändert: „%1“.</translation>
    </message>
    <message id="copy-failure-other">
        <source>Copying failed on %1: “%2”.</source>
        <translation>Kopieren auf %1 fehlgeschlagen: „%2“.</translation>
    </message>
    <message id="copy-failure-unknown">
        <source>Copying failed.</source>
        <translation>Kopieren fehlgeschlagen.</translation>
    </message>
    <message id="copy-path-too-long">
        <source>The path is too long: “%1”.</source>
        <translation>Der Pfad ist zu lang: „%1“.</translation>
    </message>
    <message id="copy-dst-not-cut">
        <source>“%1” is longer than the source and cannot be shortened.</source>
        <translation>„%1“ ist länger als die Quelle und kann nicht gekürzt werden.</translation>
    </message>
    <message id="copy-no-duplicate-name">
        <source>There is no free name for a copy of “%1”.</source>
        <translation>Es gibt keinen freien Namen für eine Kopie von „%1“.</translation>
    </message>
    <message id="copy-no-destination">
        <source>No destination folder was given.</source>
        <translation>Es wurde kein Zielordner angegeben.</translation>
    </message>
    <message id="copy-eta-seconds">
        <source>A few seconds left</source>
        <translation>Noch wenige Sekunden</translation>
    </message>
    <message id="copy-eta-less1minute">
        <source>Less than a minute left</source>
        <translation>Noch weniger als eine Minute</translation>
    </message>
    <message id="copy-eta-minutes">
        <source>About %1 min left</source>
        <translation>Noch etwa %1 Min.</translation>
    </message>
    <message id="copy-eta-hours">
        <source>About %1 h left</source>
        <translation>Noch etwa %1 Std.</translation>
    </message>
    <message id="drive-local-disk">
        <source>Local Disk (%1)</source>
        <translation>Laufwerk (%1)</translation>
    </message>
    <message id="drive-main-hd">
        <source>Main HD</source>
        <translation>Hauptfestplatte</translation>
    </message>
    <message id="drive-volume-gb">
        <source>%1 GB Volume</source>
        <translation>%1-GB-Volume</translation>
    </message>
    <message id="place-shares">
        <source>Shares</source>
        <translation>Freigaben</translation>
    </message>
    <message id="column-name">
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message id="column-type">
        <source>Type</source>
        <translation>Typ</translation>
    </message>
    <message id="column-path">
        <source>Path</source>
        <translation>Pfad</translation>
    </message>
    <message id="column-size">
        <source>Size</source>
        <translation>Größe</translation>
    </message>
    <message id="column-access">
        <source>Access</source>
        <translation>Zugriff</translation>
    </message>
    <message id="column-created">
        <source>Created</source>
        <translation>Erstellt</translation>
    </message>
    <message id="column-modified">
        <source>Modified</source>
        <translation>Geändert</translation>
    </message>
    <message id="column-mime">
        <source>Mime</source>
        <translation>MIME-Typ</translation>
    </message>
    <message id="column-flags">
        <source>Flags</source>
        <translation>Markierungen</translation>
    </message>
    <message id="column-reference">
        <source>Reference</source>
        <translation>Verweis</translation>
    </message>
    <message id="column-hidden">
        <source>Hidden</source>
        <translation>Versteckt</translation>
    </message>
    <message id="item-type-folder">
        <source>Folder</source>
        <translation>Ordner</translation>
    </message>
    <message id="startup-problem-title">
        <source>Velm cannot start</source>
        <translation>Velm kann nicht starten</translation>
    </message>
    <message id="startup-another-instance">
        <source>Velm is already running with the configuration directory %1.</source>
        <translation>Velm läuft bereits mit dem Konfigurationsverzeichnis %1.</translation>
    </message>
    <message id="startup-lock-failed">
        <source>Velm cannot lock its configuration directory: %1</source>
        <translation>Velm kann sein Konfigurationsverzeichnis nicht sperren: %1</translation>
    </message>
    <message id="startup-database-unusable">
        <source>Velm cannot use its database %1: %2
The file was left as it is.</source>
        <translation>Velm kann seine Datenbank %1 nicht verwenden: %2
Die Datei wurde nicht verändert.</translation>
    </message>
    <message id="action-cut">
        <source>Cut</source>
        <translation>Ausschneiden</translation>
    </message>
    <message id="action-copy">
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message id="action-copy-to">
        <source>Copy to other side</source>
        <translation>Auf die andere Seite kopieren</translation>
    </message>
    <message id="action-move-to">
        <source>Move to other side</source>
        <translation>Auf die andere Seite verschieben</translation>
    </message>
    <message id="action-paste">
        <source>Paste</source>
        <translation>Einfügen</translation>
    </message>
    <message id="action-trash">
        <source>Move to Trash</source>
        <translation>In den Papierkorb verschieben</translation>
    </message>
    <message id="action-delete">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="action-new-folder">
        <source>New folder</source>
        <translation>Neuer Ordner</translation>
    </message>
    <message id="action-rename">
        <source>Rename</source>
        <translation>Umbenennen</translation>
    </message>
    <message id="action-preview">
        <source>Preview</source>
        <translation>Vorschau</translation>
    </message>
    <message id="action-icon-view">
        <source>as Icons</source>
        <translation>als Symbole</translation>
    </message>
    <message id="action-list-view">
        <source>as List</source>
        <translation>als Liste</translation>
    </message>
    <message id="action-column-view">
        <source>as Columns</source>
        <translation>als Spalten</translation>
    </message>
    <message id="action-new-window">
        <source>New window</source>
        <translation>Neues Fenster</translation>
    </message>
    <message id="action-show-hidden-items">
        <source>Show hidden items</source>
        <translation>Versteckte Objekte anzeigen</translation>
    </message>
    <message id="action-toggle-rightpane">
        <source>Toggle right pane</source>
        <translation>Rechte Seite umschalten</translation>
    </message>
    <message id="action-in-rightpane">
        <source>Open in right pane</source>
        <translation>Rechts öffnen</translation>
    </message>
    <message id="action-in-rightpanetab">
        <source>Open in new tab in right pane</source>
        <translation>Rechts in neuem Tab öffnen</translation>
    </message>
    <message id="action-in-leftpane">
        <source>Open in left pane</source>
        <translation>Links öffnen</translation>
    </message>
    <message id="action-in-leftpanetab">
        <source>Open in new tab in left pane</source>
        <translation>Links in neuem Tab öffnen</translation>
    </message>
    <message id="action-openin-tab">
        <source>Open in new tab</source>
        <translation>In neuem Tab öffnen</translation>
    </message>
    <message id="action-show-props">
        <source>Properties</source>
        <translation>Eigenschaften</translation>
    </message>
    <message id="action-reveal-explorer">
        <source>Reveal in Explorer</source>
        <translation>Im Dateimanager zeigen</translation>
    </message>
    <message id="menu-extract-item">
        <source>Extract</source>
        <translation>Entpacken</translation>
    </message>
    <message id="action-show-nodeview">
        <source>Show node view</source>
        <translation>Knotenansicht zeigen</translation>
    </message>
    <message id="action-show-alt-filer">
        <source>Show files on right hand side</source>
        <translation>Dateien rechts zeigen</translation>
    </message>
    <message id="action-share-drive">
        <source>Share drive</source>
        <translation>Laufwerk freigeben</translation>
    </message>
    <message id="action-new-tab">
        <source>New Tab</source>
        <translation>Neuer Tab</translation>
    </message>
    <message id="action-close-tab">
        <source>Close Tab</source>
        <translation>Tab schließen</translation>
    </message>
    <message id="upd-btn-show">
        <source>Show</source>
        <translation>Anzeigen</translation>
    </message>
    <message id="upd-ntf-newversion">
        <source>velm %1 is available.</source>
        <translation>velm %1 ist verfügbar.</translation>
    </message>
    <message id="job-cut-kept-not-empty">
        <source>Kept: it holds items that were not copied</source>
        <translation>Behalten: enthält Elemente, die nicht kopiert wurden</translation>
    </message>
    <message id="job-cut-kept-failed">
        <source>Kept: it could not be deleted (error %1)</source>
        <translation>Behalten: konnte nicht gelöscht werden (Fehler %1)</translation>
    </message>
    <message id="archive-extract-failed">
        <source>Extraction of %1 failed</source>
        <translation>Entpacken von %1 fehlgeschlagen</translation>
    </message>
    <message id="archive-extract-failed-reason">
        <source>Extraction of %1 failed: %2</source>
        <translation>Entpacken von %1 fehlgeschlagen: %2</translation>
    </message>
    <message id="archive-extract-cancelled">
        <source>Extraction of %1 was cancelled</source>
        <translation>Entpacken von %1 wurde abgebrochen</translation>
    </message>
    <message id="archive-reason-password">
        <source>password-protected archives are not supported</source>
        <translation>passwortgeschützte Archive werden nicht unterstützt</translation>
    </message>
    <message id="archive-reason-unsafe">
        <source>it holds an entry that would be written outside its folder or cannot be checked (%1)</source>
        <translation>es enthält einen Eintrag, der außerhalb seines Ordners geschrieben würde oder nicht geprüft werden kann (%1)</translation>
    </message>
    <message id="archive-reason-listing">
        <source>the listing of the archive could not be read</source>
        <translation>das Inhaltsverzeichnis des Archivs konnte nicht gelesen werden</translation>
    </message>
    <message id="archive-reason-timeout">
        <source>7z did not finish listing the archive in time</source>
        <translation>7z hat das Inhaltsverzeichnis des Archivs nicht rechtzeitig geliefert</translation>
    </message>
    <message id="archive-reason-nostart">
        <source>%1 could not be started</source>
        <translation>%1 konnte nicht gestartet werden</translation>
    </message>
    <message id="archive-reason-crash">
        <source>7z stopped abnormally</source>
        <translation>7z wurde unerwartet beendet</translation>
    </message>
    <message id="archive-reason-exitcode">
        <source>7z reported error %1</source>
        <translation>7z meldete Fehler %1</translation>
    </message>
    <message id="archive-reason-move">
        <source>%1 could not be moved out of %2</source>
        <translation>%1 konnte nicht aus %2 verschoben werden</translation>
    </message>
    <message id="dlg-extract-title">
        <source>Extract archive</source>
        <translation>Archiv entpacken</translation>
    </message>
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message id="dlg-extract-left-seconds">
        <source>About %1 s left</source>
        <translation>Noch etwa %1 s</translation>
    </message>
    <message id="dlg-extract-left-minutes">
        <source>About %1 min %2 s left</source>
        <translation>Noch etwa %1 min %2 s</translation>
    </message>
    <message id="dlg-extract-left-hours">
        <source>About %1 h %2 min left</source>
        <translation>Noch etwa %1 h %2 min</translation>
    </message>
    <message id="launcher-start-failed">
        <source>Could not start %1</source>
        <translation>%1 konnte nicht gestartet werden</translation>
    </message>
    <message id="launcher-one-file">
        <source>%1 opens only one file at a time</source>
        <translation>%1 öffnet nur eine Datei auf einmal</translation>
    </message>
    <message id="menu-open-with">
        <source>Open with</source>
        <translation>Öffnen mit</translation>
    </message>
</context>
</TS>
