<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Änderungen</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Konnte Changelog nicht laden.</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Lade...</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
</context>
<context>
    <name>CurlReply</name>
    <message>
        <source>Operation canceled</source>
        <translation>Vorgang abgebrochen</translation>
    </message>
</context>
<context>
    <name>FailureCause</name>
    <message>
        <source>Not enough disk space in %1: the update needs %2 there, %3 are free.</source>
        <translation>Nicht genug Speicherplatz in %1: Die Aktualisierung braucht dort %2, frei sind %3.</translation>
    </message>
    <message>
        <source>%1 cannot be written to (read-only, or no permission).</source>
        <translation>In %1 kann nicht geschrieben werden (schreibgeschützt oder keine Berechtigung).</translation>
    </message>
    <message>
        <source>The new version is not signed with this updater&apos;s key: the signature check failed on every mirror that delivered it.</source>
        <translation>Die neue Version ist nicht mit dem Schlüssel dieses Updaters signiert: Die Signaturprüfung schlug bei jedem Mirror fehl, der sie lieferte.</translation>
    </message>
    <message>
        <source>The mirrors do not offer version %1 of this client, but another release.</source>
        <translation>Die Mirrors bieten nicht Version %1 dieses Clients an, sondern eine andere.</translation>
    </message>
    <message>
        <source>%1 differs from the new version on every mirror that sent it (MD5 sum mismatch).</source>
        <translation>%1 weicht auf jedem Mirror, der die Datei lieferte, von der neuen Version ab (MD5-Summe stimmt nicht).</translation>
    </message>
    <message>
        <source>%1 is missing on every mirror.</source>
        <translation>%1 fehlt auf jedem Mirror.</translation>
    </message>
    <message>
        <source>No download mirror could be reached, or none holds the new version.</source>
        <translation>Kein Download-Mirror war erreichbar, oder keiner hat die neue Version.</translation>
    </message>
    <message>
        <source>No working download mirror is left: every mirror failed.</source>
        <translation>Kein funktionierender Download-Mirror mehr: Alle Mirrors sind fehlgeschlagen.</translation>
    </message>
    <message>
        <source>The new version&apos;s file list cannot be used.</source>
        <translation>Die Dateiliste der neuen Version ist unbrauchbar.</translation>
    </message>
    <message>
        <source>The new files could not be installed in %1.</source>
        <translation>Die neuen Dateien konnten nicht in %1 installiert werden.</translation>
    </message>
    <message>
        <source>Obsolete files could not be removed from %1.</source>
        <translation>Veraltete Dateien konnten nicht aus %1 entfernt werden.</translation>
    </message>
    <message>
        <source>The update server %1 cannot be found: there may be no network connection.</source>
        <translation>Der Aktualisierungsserver %1 wurde nicht gefunden: Eventuell besteht keine Netzwerkverbindung.</translation>
    </message>
    <message>
        <source>The update server %1 did not answer within %2 seconds.</source>
        <translation>Der Aktualisierungsserver %1 hat nicht innerhalb von %2 Sekunden geantwortet.</translation>
    </message>
    <message>
        <source>The update server %1 cannot be reached: %2</source>
        <translation>Der Aktualisierungsserver %1 ist nicht erreichbar: %2</translation>
    </message>
    <message>
        <source>%1 could not be written: %2</source>
        <translation>%1 konnte nicht geschrieben werden: %2</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>%1 KB</source>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>0 KB</source>
        <translation>0 KB</translation>
    </message>
    <message>
        <source>0 KB/s</source>
        <translation>0 KB/s</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Aktualisierung läuft momentan.&lt;/p&gt;&lt;p&gt;Wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Klicken öffnet &quot;%1://%2&quot;</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>Morvane 3 Client Update</source>
        <translation>Morvane 3 Client Aktualisierung</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>stabilen</translation>
    </message>
    <message>
        <source>Start Morvane</source>
        <translation>Morvane starten</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Update starten</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Drücken Sie &quot;Details&quot; für weitere Informationen.</translation>
    </message>
    <message>
        <source>Update to Morvane %1.</source>
        <translation>Update auf Morvane %1.</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Änderungen</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie benutzen den &lt;strong&gt;%1 Channel&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>&lt;small&gt;© 2026 &lt;a href=&quot;https://www.morvane.example/&quot;&gt;Morvane&lt;/a&gt;&lt;/small&gt;</source>
        <translation>&lt;small&gt;© 2026 &lt;a href=&quot;https://www.morvane.example/&quot;&gt;Morvane&lt;/a&gt;&lt;/small&gt;</translation>
    </message>
    <message>
        <source>Start Installed Version</source>
        <translation>Installierte Version starten</translation>
    </message>
    <message>
        <source>Asking the update server for the current version...</source>
        <translation>Frage den Aktualisierungsserver nach der aktuellen Version...</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Mirror %1 zu oft fehlgeschlagen, entferne</translation>
    </message>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Es gibt keine weiteren bekannten Mirrors</translation>
    </message>
</context>
<context>
    <name>QNetworkReply</name>
    <message>
        <source>Error transferring %1 - server replied: %2</source>
        <translation>Fehler beim Übertragen von %1 - Server antwortete: %2</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Konnte aktuelle Client Version nicht
vom Aktualisierungsserver abfragen.</translation>
    </message>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Update Server meldete ungültige Versionsnummer (%1)</translation>
    </message>
</context>
<context>
    <name>QWidget</name>
    <message>
        <source>Click to read latest Morvane news</source>
        <translation>Klicken für die neuesten Morvane-Nachrichten</translation>
    </message>
</context>
<context>
    <name>TimedMessageBox</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Ja</translation>
    </message>
    <message>
        <source>No</source>
        <translation>Nein</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Wiederholen</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>Abbrechen</translation>
    </message>
</context>
</TS>
