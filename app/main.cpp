#include "app/startup.h"

#include <QApplication>

#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char *argv[])
{
#ifdef __GLIBC__
    // Large buffers (a product ini, a record of many thousand files) are
    // mapped and given back whole when freed, instead of the threshold rising
    // with each one freed and their space staying with the thread that freed
    // it.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
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
