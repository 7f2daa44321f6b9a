#include "app/startup.h"

#include "app/configuration.h"
#include "app/singleinstancechecker.h"

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
    // Removal of left-over "_old_" files goes here (before the single-instance test).

    // Another copy of this installation runs for this user: it has been asked
    // to come to the front, and this one ends without showing anything.
    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    QTranslator programTranslator;
    QTranslator qtTranslator;
    installTranslations(programTranslator, qtTranslator, QLocale::system().name());

    Configuration configuration;

    // Until the main window handles fatal configuration errors itself: a
    // critical box without parent, then the event loop ends with code 1.
    // QCoreApplication::exit() is only called while the loop runs: called
    // earlier it would make every later event loop, message boxes included,
    // return at once. Before the loop runs, the failing operation returns
    // false and run() returns 1 itself.
    bool eventLoopRunning = false;
    QObject::connect(&configuration, &Configuration::fatalError, &configuration,
                     [&eventLoopRunning](const QString &errorMessage) {
                         QMessageBox::critical(nullptr, QObject::tr("Error"), errorMessage);
                         if (eventLoopRunning)
                             QCoreApplication::exit(1);
                     });

    if (!configuration.parseCommandLineOptions(arguments))
        return 1;

    // The main window is built here, before the command line is parsed; after
    // it: the unattended start timer, setUIToConfigSpecs(), show(), setNews()
    // and the event loop (with eventLoopRunning set), whose exit code is
    // returned.
    Q_UNUSED(eventLoopRunning);
    return 0;
}
