// The compiled-in German catalogue, Qt's own catalogue beside the working
// directory, and the other compiled-in resources.

#include "app/startup.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

class tst_Translations : public QObject
{
    Q_OBJECT

private slots:
    void germanLocaleTranslatesCatalogue_data();
    void germanLocaleTranslatesCatalogue();
    void everyTextHasGerman();
    void uncoveredLocaleStaysEnglish();
    void qtCatalogueIsFoundBesideWorkingDirectory();
    void logoIs48x48Png();
    void iconHoldsSizes16To256();
};

void tst_Translations::germanLocaleTranslatesCatalogue_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("german");

    const struct
    {
        const char *context;
        const char *source;
        const char *german;
    } table[] = {
        {"MainWindow", "<p>Update in progress.</p><p>Are you sure you want to abort?</p>",
         "<p>Aktualisierung läuft momentan.</p><p>Wirklich abbrechen?</p>"},
        {"MainWindow", "Question", "Frage"},
        {"MainWindow", "Restart", "Neu starten"},
        {"MainWindow", "Start Morvane", "Morvane starten"},
        {"MainWindow", "Start Update", "Update starten"},
        {"MainWindow", "Update", "Aktualisierung"},
        {"MainWindow", "Update cancelled", "Aktualisierung abgebrochen"},
        {"MainWindow", "Update cancelled. Push \"Details\" to check reasons.",
         "Aktualisierung abgebrochen. Drücken Sie \"Details\" für weitere Informationen."},
        {"MainWindow", "Update to Morvane %1.", "Update auf Morvane %1."},
        {"MainWindow", "View Changes", "Änderungen"},
        {"MainWindow", "You are currently on <strong>%1 channel</strong>.",
         "Sie benutzen den <strong>%1 Channel</strong>."},
        {"ChangeLogViewer", "Failed to load changelog.", "Konnte Changelog nicht laden."},
        {"ChangeLogViewer", "Loading...", "Lade..."},
        {"Mirrors", "Mirror %1 failed too many times, removing",
         "Mirror %1 zu oft fehlgeschlagen, entferne"},
        {"Mirrors", "There are no (more) known working mirrors available",
         "Es gibt keine weiteren bekannten Mirrors"},
        {"QObject", "Error", "Fehler"},
        {"QObject", "Failed to query latest client\nversion from update server.",
         "Konnte aktuelle Client Version nicht\nvom Aktualisierungsserver abfragen."},
        {"QObject", "Invalid version nr (%1)", "Ungültige Versionsnummer (%1)"},
        {"QObject", "Update server returned invalid version nr (%1)",
         "Update Server meldete ungültige Versionsnummer (%1)"},
        // Beyond the texts above: what a German player read in English.
        {"ChangeLogViewer", "Close", "Schließen"},
        {"ChangeLogViewer", "Changelog", "Änderungen"},
        {"MainWindow", "Stable", "stabilen"},
        {"MainWindow", "Start Installed Version", "Installierte Version starten"},
        {"MainWindow", "Asking the update server for the current version...",
         "Frage den Aktualisierungsserver nach der aktuellen Version..."},
        {"TimedMessageBox", "Retry", "Wiederholen"},
    };
    for (const auto &row : table) {
        QTest::newRow(row.source) << QString::fromLatin1(row.context)
                                  << QString::fromUtf8(row.source) << QString::fromUtf8(row.german);
    }
}

void tst_Translations::germanLocaleTranslatesCatalogue()
{
    QFETCH(QString, context);
    QFETCH(QString, source);
    QFETCH(QString, german);

    QTranslator program;
    QTranslator qt;
    Startup::installTranslations(program, qt, QStringLiteral("de_DE"));
    QCOMPARE(QCoreApplication::translate(context.toUtf8().constData(), source.toUtf8().constData()),
             german);
}

namespace {

// The messages of a translation source, by context and text; empty where the
// German text is missing, unfinished or vanished.
QMap<QPair<QString, QString>, QString> readCatalogueSource(const QString &path)
{
    QMap<QPair<QString, QString>, QString> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    QXmlStreamReader xml(&file);
    QString context;
    QString text;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            text = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const bool usable = xml.attributes().value(QLatin1String("type")).isEmpty();
            const QString german = xml.readElementText();
            messages.insert({context, text}, usable ? german : QString());
        }
    }
    return messages;
}

} // namespace

// Every text that the sources pass through the translation is in the
// catalogue, and has its German text there.
void tst_Translations::everyTextHasGerman()
{
    const QString lupdate
        = QLibraryInfo::path(QLibraryInfo::BinariesPath) + QStringLiteral("/lupdate");
    if (!QFileInfo(lupdate).isExecutable())
        QSKIP("lupdate is not installed");
    const QString source = qEnvironmentVariable("MORVANE_SOURCE_DIR");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fresh = dir.filePath(QStringLiteral("fresh.ts"));
    QProcess scan;
    scan.setWorkingDirectory(source);
    scan.start(lupdate, {"app", "ui", "update", "net", "fileops", "tasks", "-locations", "none",
                         "-ts", fresh});
    QVERIFY(scan.waitForFinished(60000));
    QCOMPARE(scan.exitCode(), 0);

    QTranslator program;
    QTranslator qt;
    Startup::installTranslations(program, qt, QStringLiteral("de_DE"));
    const auto catalogue
        = readCatalogueSource(source + QStringLiteral("/ui/translations/update_de.ts"));
    const auto found = readCatalogueSource(fresh);
    QVERIFY(found.size() > 50);
    for (auto it = found.cbegin(); it != found.cend(); ++it) {
        const QString german = catalogue.value(it.key());
        QVERIFY2(!german.isEmpty(), qPrintable(it.key().first + ": " + it.key().second));
        QCOMPARE(QCoreApplication::translate(it.key().first.toUtf8().constData(),
                                             it.key().second.toUtf8().constData()),
                 german);
    }
    // The context matters: the same text elsewhere is not translated.
    QCOMPARE(QCoreApplication::translate("MainWindow", "Error"), QStringLiteral("Error"));
}

void tst_Translations::uncoveredLocaleStaysEnglish()
{
    QTranslator program;
    QTranslator qt;
    Startup::installTranslations(program, qt, QStringLiteral("fr_FR"));
    QVERIFY(program.isEmpty());
    QCOMPARE(QCoreApplication::translate("QObject", "Error"), QStringLiteral("Error"));
    QCOMPARE(QCoreApplication::translate("MainWindow", "Start Update"),
             QStringLiteral("Start Update"));
}

void tst_Translations::qtCatalogueIsFoundBesideWorkingDirectory()
{
    const QString installed = QStringLiteral("/usr/share/qt6/translations/qtbase_de.qm");
    if (!QFile::exists(installed))
        QSKIP("Qt's German catalogue is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("translations")));
    QVERIFY(QFile::copy(installed, dir.filePath(QStringLiteral("translations/qt_de.qm"))));

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    QTranslator program;
    QTranslator qt;
    Startup::installTranslations(program, qt, QStringLiteral("de_DE"));
    QDir::setCurrent(previous);

    QVERIFY(!qt.isEmpty());
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Abort"), QStringLiteral("Abbrechen"));
}

void tst_Translations::logoIs48x48Png()
{
    QImageReader reader(QStringLiteral(":/images/morvane_logo.png"));
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage logo = reader.read();
    QCOMPARE(logo.size(), QSize(48, 48));
    QVERIFY(logo.hasAlphaChannel());
}

void tst_Translations::iconHoldsSizes16To256()
{
    QImageReader reader(QStringLiteral(":/images/application.ico"));
    QCOMPARE(reader.format(), QByteArray("ico"));
    QList<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        sizes.append(image.width());
    }
    QCOMPARE(sizes, (QList<int> {16, 24, 32, 48, 64, 128, 256}));
}

QTEST_MAIN(tst_Translations)
#include "tst_translations.moc"
