#include "earlierreleases.h"

#include "formats/fileline.h"
#include "formats/productini.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>

namespace {

// Control characters as \xNN, so that the path cannot shape the terminal.
QString printable(const QString &text)
{
    QString shown;
    for (const QChar c : text)
        shown += c.category() == QChar::Other_Control
            ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
            : QString(c);
    return shown;
}

} // namespace

bool EarlierReleases::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool EarlierReleases::read(const QString &mirrorRoot, const QString &clientType)
{
    m_paths.clear();
    m_lastVersion.clear();
    m_versions.clear();
    const QDir root(mirrorRoot);
    QList<uint> numbers;
    for (const QString &name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        // Version directories only: hidden partial ones and anything else a
        // mirror holds beside them are no release.
        bool numeric = false;
        const uint number = name.toUInt(&numeric);
        if (numeric && number > 0 && QString::number(number) == name)
            numbers.append(number);
    }
    std::sort(numbers.begin(), numbers.end());
    for (const uint number : std::as_const(numbers)) {
        const QString version = QString::number(number);
        const QString ini
            = root.filePath(version + QLatin1Char('/') + ProductIni::iniName(clientType));
        if (!QFileInfo::exists(ini) && !QFileInfo(ini).isSymLink())
            continue;
        if (!readProductIni(ini, version))
            return false;
        m_versions.append(version);
    }
    return true;
}

bool EarlierReleases::readProductIni(const QString &path, const QString &version)
{
    // Read once, at most one byte beyond the limit, and parsed from a copy of
    // exactly those bytes.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("Cannot read earlier release %1: %2")
                        .arg(path,
                             QFileInfo(path).isFile() ? file.errorString()
                                                      : QStringLiteral("not a regular file")));
    const QByteArray bytes = file.read(ProductIni::MaxSize + 1);
    if (bytes.size() > ProductIni::MaxSize)
        return fail(QStringLiteral("Cannot read earlier release %1: larger than the %2 bytes "
                                   "that the updater accepts")
                        .arg(path)
                        .arg(ProductIni::MaxSize));
    if (file.error() != QFile::NoError)
        return fail(
            QStringLiteral("Cannot read earlier release %1: %2").arg(path, file.errorString()));
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return fail(QStringLiteral("Cannot copy earlier release %1 to the temporary directory: %2")
                        .arg(path, copy.errorString()));
    QSettings ini(copy.fileName(), QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return fail(QStringLiteral("Cannot read earlier release %1: not an INI file").arg(path));

    const auto faultyPath = [&path](const QString &section, const QString &text) {
        return QStringLiteral("Earlier release %1 names in [%2] the path \"%3\", which is not "
                              "a plain relative path that the updater accepts")
            .arg(path, printable(section), printable(text));
    };
    for (const QString &section : ini.childGroups()) {
        ini.beginGroup(section);
        const QStringList keys = ini.allKeys();
        for (const QString &key : keys) {
            // Every section but "delete" lists files, installed under the key
            // or, for an unpacked one, under the fifth field.
            QString installed = key;
            if (section != ProductIni::DeleteSection) {
                const std::optional<FileLine> line
                    = FileLine::read(ProductIni::valueText(ini.value(key)));
                if (!line)
                    return fail(QStringLiteral("Earlier release %1 has an invalid line in [%2]: "
                                               "%3")
                                    .arg(path, printable(section), printable(key)));
                installed = line->installedPath(key);
                if (!ProductIni::isPlainRelativePath(key))
                    return fail(faultyPath(section, key));
            }
            if (!ProductIni::isPlainRelativePath(installed))
                return fail(faultyPath(section, installed));
            m_paths.insert(installed);
            m_lastVersion.insert(installed, version);
        }
        ini.endGroup();
    }
    return true;
}
