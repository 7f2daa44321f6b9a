#include "app/processtools.h"

#include "app/configuration.h"

#include <QProcess>

void ProcessTools::startMrvClient()
{
    // The path is the program itself, never split into words, so that an
    // application root with spaces in it still finds the script.
    const QString program
        = Configuration::getAppRootPath() + QLatin1Char('/') + Configuration::getClientBinaryName();
    QProcess::startDetached(program, QStringList());
}
