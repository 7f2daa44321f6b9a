#include "app/startup.h"

#include <QApplication>

#include <vector>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    bool headless = false;
    const int exitCode = Startup::beforeApplication(arguments, &headless);
    if (exitCode >= 0)
        return exitCode;

    // The platform is named on the application's own command line, not in
    // the environment, which the client started after the update inherits.
    char platformOption[] = "-platform";
    char offscreenPlatform[] = "offscreen";
    std::vector<char *> applicationArgv(argv, argv + argc);
    if (headless) {
        applicationArgv.push_back(platformOption);
        applicationArgv.push_back(offscreenPlatform);
    }
    int applicationArgc = int(applicationArgv.size());
    applicationArgv.push_back(nullptr);

    QApplication app(applicationArgc, applicationArgv.data());
    return Startup::run(QCoreApplication::arguments());
}
