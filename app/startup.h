#pragma once

#include "net/versionquery.h"

#include <QString>
#include <QStringList>

class Configuration;
class MainWindow;
class QTranslator;
class UpdateEngine;

// The start-up sequence of the updater below the application object. main()
// makes the QApplication and calls run(); tests call run() in-process.
// The one place that puts the subsystems together: the folders depend
// downwards only (sys, formats, tasks, digest, net, fileops, update, ui,
// app). The configuration makes the settings value that the engine, its
// steps and the window take; what they need back from app/ (the session
// directory, the record of the installed version, the configuration's
// errors, the single-instance guard, starting the client) is connected here,
// and only run() holds them all.
class Startup
{
public:
    // Loads the program's catalogue ":/i18n/update_<locale>" and Qt's own
    // "translations/qt_<locale>" (relative to the working directory) and
    // installs both on the application. A catalogue that is not found
    // translates nothing.
    static void installTranslations(QTranslator &programTranslator, QTranslator &qtTranslator,
                                    const QString &localeName);

    // What main() settles before the application object, which needs a
    // display, exists: prints the usage or the version (exit code 0), or a
    // command-line error with the usage on standard error (1), or refuses an
    // interactive start without a display (1), and returns that exit code.
    // Otherwise returns -1, and headless tells whether the unattended run
    // that follows needs the offscreen platform.
    static int beforeApplication(const QStringList &arguments, bool *headless);

    // Runs the updater with the process arguments (the first is the program)
    // and returns the process exit code: 1 when the command line or the
    // version to install cannot be settled, 3 when another copy runs and this
    // one is unattended, otherwise the event loop's code. The version left
    // open is asked of versionServer.
    static int run(const QStringList &arguments,
                   const VersionQuery::Server &versionServer = VersionQuery::Server());

    // Lets an engine made from the configuration's settings call back into
    // it: the session directory is opened (and a failure reported) by the
    // configuration, which records the installed version after success; the
    // configuration's messages reach the engine's log.
    static void connectEngine(UpdateEngine &engine, Configuration &configuration);
    // Connects the window and its engine to the configuration and the rest
    // of app/: the configuration's fatal errors go to the window, the
    // single-instance guard (a child of the window, listening from here on)
    // brings it to the front, and the client is started when it asks.
    static void connectWindow(MainWindow &window, Configuration &configuration);
};
