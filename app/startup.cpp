#include "app/startup.h"

#include "app/commandline.h"
#include "app/configuration.h"
#include "app/processtools.h"
#include "app/singleinstancechecker.h"
#include "app/updatechecker.h"
#include "digest/digestservice.h"
#include "ui/mainwindow.h"
#include "update/replacementjournal.h"
#include "update/updateengine.h"

#include <QApplication>
#include <QFile>
#include <QLocale>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>
#include <QTranslator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
// Unattended, the update starts this long after the window was built.
constexpr int autoStartDelayMs = 2000;
// An unattended copy that found another one running did nothing: a caller
// must not take that for a finished update.
constexpr int otherCopyRunsExitCode = 3;
// An unattended start in an installation it cannot write ends as a failed
// update does.
constexpr int unwritableExitCode = 2;
// The copy that holds the lock may not listen yet: it is asked again for
// about two seconds.
constexpr int activationAttempts = 8;
constexpr unsigned long activationRetryMs = 250;

void print(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Whether a window can be shown: a display is named, or the platform is
// chosen explicitly (one that needs no display server, or offscreen).
bool displayAvailable()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}
// Why the installation cannot be updated by this user, or an empty string:
// the application root and the updater's own folder must take new files.
QString unwritableInstallation()
{
    QStringList folders {Configuration::getAppRootPath()};
    if (!folders.contains(QCoreApplication::applicationDirPath()))
        folders.append(QCoreApplication::applicationDirPath());
    for (const QString &folder : std::as_const(folders)) {
        if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
            return QStringLiteral("The folder %1 cannot be written to by this user (%2), so the "
                                  "client cannot be updated there. Install the client in a "
                                  "folder you can write to, or run the updater as the user who "
                                  "owns the installation.")
                .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    }
    return QString();
}
} // namespace

int Startup::beforeApplication(const QStringList &processArguments, bool *headless)
{
    QStringList arguments = processArguments;
    CommandLine::takeVerify(arguments);
    *headless = false;
    QString problem;
    switch (CommandLine::request(arguments, &problem)) {
    case CommandLine::Usage:
        print(stdout, CommandLine::usage());
        return 0;
    case CommandLine::Version:
        print(stdout, CommandLine::versionText());
        return 0;
    case CommandLine::Invalid:
        print(stderr, QStringLiteral("update: %1\n\n").arg(problem) + CommandLine::usage());
        return 1;
    case CommandLine::Update:
        break;
    }
    if (displayAvailable())
        return -1;
    if (CommandLine::isUnattended(arguments)) {
        *headless = true;
        return -1;
    }
    print(stderr,
          QStringLiteral("update: no display (DISPLAY and WAYLAND_DISPLAY are unset): the "
                         "window needs one. 'update --nouser' updates without it.\n"));
    return 1;
}

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

void Startup::connectEngine(UpdateEngine &engine, Configuration &configuration)
{
    UpdateEngine::Hooks hooks;
    hooks.openSession = [&configuration](const QString &dir) {
        return configuration.initalizeStart(dir) ? configuration.m_tempDir : QString();
    };
    hooks.recordInstalledVersion = [&configuration] {
        configuration.recordInstalledVersion();
    };
    engine.setHooks(hooks);
    QObject::connect(&configuration, &Configuration::message, &engine, &UpdateEngine::message);
}

void Startup::connectWindow(MainWindow &window, Configuration &configuration)
{
    connectEngine(*window.m_engine, configuration);
    QObject::connect(&configuration, &Configuration::fatalError, &window,
                     &MainWindow::onFatalConfigError);
    auto *instanceChecker = new SingleInstanceChecker(&window);
    QObject::connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, &window,
                     &MainWindow::onOtherInstanceActivate);
    QObject::connect(&window, &MainWindow::startClientRequested, &window,
                     &ProcessTools::startMrvClient);
}

int Startup::run(const QStringList &processArguments, const VersionQuery::Server &versionServer)
{
    QStringList arguments = processArguments;
    const bool verifyAll = CommandLine::takeVerify(arguments);
    const bool unattended = CommandLine::isUnattended(arguments);
    // Before anything is read or written: one copy per installation and user
    // from here until the process ends. Another copy that holds the lock is
    // asked to come to the front (it may not listen yet), and this one ends
    // without touching anything. An unattended caller learns from the exit
    // code that nothing was updated.
    bool heldElsewhere = false;
    const UniqueFd instanceLock = SingleInstanceChecker::lockInstallation(&heldElsewhere);
    // Without a lock (no private folder, no readable root) the listener of a
    // running copy is all there is to go by.
    if (heldElsewhere
        || (!instanceLock.isValid()
            && SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))) {
        bool raised = !heldElsewhere;
        for (int attempt = 0; attempt < activationAttempts && !raised; ++attempt) {
            raised = SingleInstanceChecker::checkExistingInstance(QStringLiteral("#"));
            if (!raised)
                QThread::msleep(activationRetryMs);
        }
        print(stderr,
              raised ? QStringLiteral("update: another copy of the updater runs for this "
                                      "installation; it was brought to the front.\n")
                     : QStringLiteral("update: another copy of the updater runs for this "
                                      "installation.\n"));
        return unattended ? otherCopyRunsExitCode : 0;
    }

    // An installation this user cannot write cannot be updated: said at once,
    // before anything is asked or fetched. Unattended, the caller learns it
    // from the exit code of a failed update.
    const QString unwritable = unwritableInstallation();
    if (!unwritable.isEmpty() && unattended) {
        print(stderr, QStringLiteral("update: %1\n").arg(unwritable));
        return unwritableExitCode;
    }

    // A run killed while it replaced files left them half old, half new: they
    // are put back as they were before anything else looks at them.
    QStringList recovery;
    ReplacementJournal::Outcome recovered = ReplacementJournal::NothingInterrupted;
    if (unwritable.isEmpty())
        recovered = ReplacementJournal::undoInterrupted(&recovery);
    if (unattended) {
        for (const QString &line : std::as_const(recovery))
            print(stderr, line + QLatin1Char('\n'));
    }

    // Left-over "_old_" copies are removed from the application root and its
    // "imageformats" and "accessible" directories, unless an interrupted
    // replacement still needs them.
    const QString appRoot = Configuration::getAppRootPath();
    if (unwritable.isEmpty() && recovered != ReplacementJournal::NotUndone) {
        UpdateEngine::removeOldFiles(appRoot);
        UpdateEngine::removeOldFiles(appRoot + QStringLiteral("/imageformats"));
        UpdateEngine::removeOldFiles(appRoot + QStringLiteral("/accessible"));
    }

    // The hashing threads start here, on the main thread, and are stopped and
    // joined after the window and the engine, which are made below, are gone.
    DigestService &digests = DigestService::instance();
    digests.start();
    const auto stopDigests = qScopeGuard([&digests] { digests.stop(); });

    QTranslator programTranslator;
    QTranslator qtTranslator;
    installTranslations(programTranslator, qtTranslator, QLocale::system().name());

    Configuration configuration;
    configuration.m_verifyAll = verifyAll;
    // The engine takes update.ini's proxy as it is made, for the banner.
    configuration.getProxyAndDownloadConcurrency();
    // The window shows fatal errors of the configuration and the engine from
    // here on; one reported before the event loop runs is kept as its
    // pending exit code.
    MainWindow window(configuration.settings());
    window.setUnattended(unattended);
    connectWindow(window, configuration);
    if (!unwritable.isEmpty()) {
        window.show();
        window.showUnwritableInstallation(unwritable);
        QTimer::singleShot(0, &window, &MainWindow::onEventLoopStarted);
        return QApplication::exec();
    }
    // Unattended, the lines went to standard error above.
    for (const QString &line : std::as_const(recovery))
        window.appendToLog(line);
    if (recovered == ReplacementJournal::NotUndone && !unattended)
        window.onError(recovery.constLast());
    const Configuration::ParseResult parsed = configuration.parseCommandLineOptions(arguments);
    if (parsed == Configuration::ParseFailed)
        return 1;
    if (window.pendingExitCode() != 0)
        return window.pendingExitCode();

    QTimer autoStart;
    // What follows once the version to install is settled.
    const auto settled = [&configuration, &window, &autoStart] {
        window.setSettings(configuration.settings());
        if (!configuration.m_olderOffered.isEmpty()) {
            window.keepInstalledVersion(configuration.m_olderOffered);
        } else if (configuration.m_noUserMode == 1) {
            autoStart.setSingleShot(true);
            autoStart.setInterval(autoStartDelayMs);
            QObject::connect(&autoStart, &QTimer::timeout, &window,
                             &MainWindow::onAutoStartUpdate);
            autoStart.start();
        }
        window.setUIToConfigSpecs();
        window.show();
        window.setNews();
    };

    UpdateChecker checker(configuration, versionServer);
    if (parsed == Configuration::Parsed)
        settled();
    // Posted after everything that building the window may have queued, so
    // that a fatal error reported from there ends the loop at once.
    QTimer::singleShot(0, &window, &MainWindow::onEventLoopStarted);
    if (parsed == Configuration::NeedsUpdateServer) {
        // The window shows what it waits for while the event loop asks the
        // update server; its box comes up over the window. Giving up ends
        // the program with 1, after the window's box if the answer was bad.
        window.showAskingUpdateServer();
        QObject::connect(&checker, &UpdateChecker::done, &window,
                         [&window, &settled](bool ok) {
                             if (ok)
                                 settled();
                             else
                                 window.endEventLoop(1);
                         });
        QTimer::singleShot(0, &checker, &UpdateChecker::checkUpdate);
    }
    return QApplication::exec();
}
