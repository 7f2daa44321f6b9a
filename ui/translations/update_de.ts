<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Konnte Changelog nicht laden.</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Lade...</translation>
    </message>
</context>
<context>
    <name>CurlReply</name>
    <message>
        <source>Operation canceled</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>%1 KB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>0 KB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>0 KB/s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Aktualisierung läuft momentan.&lt;/p&gt;&lt;p&gt;Wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Beta</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Details</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Morvane 3 Client Update</source>
        <translation type="unfinished"></translation>
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
        <translation type="unfinished"></translation>
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
        <translation type="unfinished"></translation>
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
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
