#include "update/updateinidata.h"

#include "app/configuration.h"

#include "scopedapproot.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <memory>

// The session record in update.ini of a temporary application root.
class tst_UpdateIniData : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void recordValidity_data();
    void recordValidity();
    void writtenRecordReadsBack();
    void nullPointersStillCheckTheWholeRecord();
    void failedGetStoresNothing();
    void cleanupRemovesOnlyTheRecordSection();

private:
    QString makePrivateDir(const QString &name);
    void writeRecord(const QString &version, const QString &dir, const QString &type);

    std::unique_ptr<ScopedAppRoot> m_root;
};

void tst_UpdateIniData::init()
{
    m_root = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_root->isValid());
}

void tst_UpdateIniData::cleanup()
{
    m_root.reset();
}

QString tst_UpdateIniData::makePrivateDir(const QString &name)
{
    const QString path = m_root->tempFilePath(Configuration::getTempDirPrefix() + name);
    QDir().mkpath(path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile(path + QLatin1Char('/') + Configuration::getSessionMarkerName()).open(QIODevice::WriteOnly);
    return path;
}

void tst_UpdateIniData::writeRecord(const QString &version, const QString &dir, const QString &type)
{
    QSettings settings(m_root->filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    if (!version.isNull())
        settings.setValue(QStringLiteral("version"), version);
    if (!dir.isNull())
        settings.setValue(QStringLiteral("dir"), dir);
    if (!type.isNull())
        settings.setValue(QStringLiteral("type"), type);
}

void tst_UpdateIniData::recordValidity_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("dirKind");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("valid");

    const QString type = QStringLiteral("client_linux_amd64");
    QTest::newRow("private directory") << "1200"
                                       << "private" << type << true;
    QTest::newRow("negative version") << "-3"
                                      << "private" << type << true;
    QTest::newRow("version is text") << "12a"
                                     << "private" << type << false;
    QTest::newRow("version missing") << QString() << "private" << type << false;
    QTest::newRow("type empty") << "1200"
                                << "private"
                                << "" << false;
    QTest::newRow("type missing") << "1200"
                                  << "private" << QString() << false;
    QTest::newRow("type with a path") << "1200"
                                      << "private" << "../escape" << false;
    QTest::newRow("dir empty") << "1200"
                               << "empty" << type << false;
    QTest::newRow("dir deleted") << "1200"
                                 << "deleted" << type << false;
    QTest::newRow("dir is a plain file") << "1200"
                                         << "file" << type << false;
    QTest::newRow("dir is a symbolic link") << "1200"
                                            << "symlink" << type << false;
    QTest::newRow("dir writable by group") << "1200"
                                           << "group-writable" << type << false;
    QTest::newRow("dir writable by others") << "1200"
                                            << "other-writable" << type << false;
    QTest::newRow("dir is relative") << "1200"
                                     << "relative" << type << false;
    QTest::newRow("dir without the session marker") << "1200"
                                                    << "unmarked" << type << false;
}

void tst_UpdateIniData::recordValidity()
{
    QFETCH(QString, version);
    QFETCH(QString, dirKind);
    QFETCH(QString, type);
    QFETCH(bool, valid);

    QString dir;
    if (dirKind == QLatin1String("private")) {
        dir = makePrivateDir(QStringLiteral("session"));
    } else if (dirKind == QLatin1String("deleted")) {
        dir = makePrivateDir(QStringLiteral("session"));
        QVERIFY(QDir(dir).removeRecursively());
    } else if (dirKind == QLatin1String("file")) {
        dir = m_root->tempFilePath(QStringLiteral("morvane_temp_session"));
        QFile file(dir);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (dirKind == QLatin1String("symlink")) {
        const QString target = makePrivateDir(QStringLiteral("elsewhere"));
        dir = m_root->tempFilePath(QStringLiteral("morvane_temp_session"));
        QVERIFY(QFile::link(target, dir));
    } else if (dirKind == QLatin1String("group-writable")
               || dirKind == QLatin1String("other-writable")) {
        dir = makePrivateDir(QStringLiteral("session"));
        QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        permissions
            |= dirKind.startsWith(QLatin1String("group")) ? QFile::WriteGroup : QFile::WriteOther;
        QVERIFY(QFile::setPermissions(dir, permissions));
    } else if (dirKind == QLatin1String("unmarked")) {
        dir = makePrivateDir(QStringLiteral("session"));
        QVERIFY(QFile::remove(dir + QStringLiteral("/.morvane_session")));
    } else if (dirKind == QLatin1String("relative")) {
        makePrivateDir(QStringLiteral("session"));
        QVERIFY(QDir::setCurrent(m_root->tempPath()));
        dir = QStringLiteral("session");
    } else {
        dir = QStringLiteral("");
    }
    writeRecord(version, dir, type);

    int readVersion = 0;
    QString readType;
    QString readDir;
    QCOMPARE(UpdateIniData::get(&readVersion, &readType, &readDir), valid);
    if (valid) {
        QCOMPARE(readVersion, version.toInt());
        QCOMPARE(readType, type);
        QCOMPARE(readDir, dir);
    }
}

void tst_UpdateIniData::writtenRecordReadsBack()
{
    QCOMPARE(UpdateIniData::filename(), m_root->filePath(QStringLiteral("update.ini")));
    const QString dir = makePrivateDir(QStringLiteral("morvane_temp_3"));
    UpdateIniData::modify(1234, dir, QStringLiteral("client_linux_x86"));

    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("current/version")).toInt(), 1234);
    QCOMPARE(settings.value(QStringLiteral("current/dir")).toString(), dir);
    QCOMPARE(settings.value(QStringLiteral("current/type")).toString(),
             QStringLiteral("client_linux_x86"));

    int version = 0;
    QString type;
    QString readDir;
    QVERIFY(UpdateIniData::get(&version, &type, &readDir));
    QCOMPARE(version, 1234);
    QCOMPARE(type, QStringLiteral("client_linux_x86"));
    QCOMPARE(readDir, dir);
}

void tst_UpdateIniData::nullPointersStillCheckTheWholeRecord()
{
    const QString dir = makePrivateDir(QStringLiteral("session"));
    writeRecord(QStringLiteral("77"), dir, QString());
    int version = 0;
    QVERIFY(!UpdateIniData::get(&version, nullptr, nullptr));

    writeRecord(QStringLiteral("77"), dir, QStringLiteral("client_linux_amd64"));
    QVERIFY(UpdateIniData::get(&version, nullptr, nullptr));
    QCOMPARE(version, 77);
}

void tst_UpdateIniData::failedGetStoresNothing()
{
    writeRecord(QStringLiteral("77"), m_root->filePath(QStringLiteral("gone")),
                QStringLiteral("client_linux_amd64"));
    int version = -1;
    QString type = QStringLiteral("untouched");
    QString dir = QStringLiteral("untouched");
    QVERIFY(!UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, -1);
    QCOMPARE(type, QStringLiteral("untouched"));
    QCOMPARE(dir, QStringLiteral("untouched"));
}

void tst_UpdateIniData::cleanupRemovesOnlyTheRecordSection()
{
    {
        QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("update/proxy"), QStringLiteral("http://proxy.example"));
        settings.setValue(QStringLiteral("update/streams"), 4);
        settings.setValue(QStringLiteral("Channel/beta"), true);
    }
    UpdateIniData::modify(5, makePrivateDir(QStringLiteral("session")),
                          QStringLiteral("client_linux_amd64"));
    UpdateIniData::cleanup();

    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QVERIFY(!settings.childGroups().contains(QStringLiteral("current")));
    QCOMPARE(settings.value(QStringLiteral("update/proxy")).toString(),
             QStringLiteral("http://proxy.example"));
    QCOMPARE(settings.value(QStringLiteral("update/streams")).toInt(), 4);
    QCOMPARE(settings.value(QStringLiteral("Channel/beta")).toBool(), true);
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
}

QTEST_GUILESS_MAIN(tst_UpdateIniData)
#include "tst_updateinidata.moc"
