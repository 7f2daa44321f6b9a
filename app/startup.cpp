#include "app/startup.h"

#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "update/updateengine.h"

#include <QApplication>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

void Startup::installTranslations(QTranslator &programTranslator, QTranslator &qtTranslator,
                                  const QString &localeName)
{
    // Load results are deliberately ignored: without a catalogue the texts
    // stay in English.
    (void)programTranslator.load(QStringLiteral(":/i18n/update_") + localeName);
    QCoreApplication::installTranslator(&programTranslator);
    (void)qtTranslator.load(QStringLiteral("translations/qt_") + localeName);
    QCoreApplication::installTranslator(&qtTranslator);
}

int Startup::run(const QStringList &arguments)
{
    // Left-over "_old_" copies are removed here, before the single-instance
    // test, from the application root and its "imageformats" and
    // "accessible" directories.
    const QString appRoot = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(appRoot);
    UpdateEngine::removeOldFiles(appRoot + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(appRoot + QStringLiteral("/accessible"));

    // Another copy of this installation runs for this user: it has been asked
    // to come to the front, and this one ends without showing anything.
    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    QTranslator programTranslator;
    QTranslator qtTranslator;
    installTranslations(programTranslator, qtTranslator, QLocale::system().name());

    Configuration configuration;

    // The main window is made here, with the configuration; it then shows
    // fatal configuration errors itself. Until it exists: a critical box
    // without parent, and exit code 1. QCoreApplication::exit() is only
    // called while the event loop runs: called earlier it would make every
    // later event loop, message boxes included, return at once; before the
    // loop the failing operation returns false and run() returns 1.
    bool eventLoopRunning = false;
    QObject::connect(&configuration, &Configuration::fatalError, &configuration,
                     [&eventLoopRunning](const QString &errorMessage) {
                         QMessageBox::critical(nullptr, QObject::tr("Error"), errorMessage);
                         if (eventLoopRunning)
                             QCoreApplication::exit(1);
                     });

    if (!configuration.parseCommandLineOptions(arguments))
        return 1;

    // With the window: in unattended mode a 2000 ms single-shot timer to its
    // onAutoStartUpdate(); then setUIToConfigSpecs(), show(), setNews(), and
    // the event loop (eventLoopRunning set), whose exit code is returned.
    return 0;
}
