// The link label of the logo and the banner: any button opens its link, but
// only web addresses leave the updater.

#include "ui/urlclicklabel.h"
#include "urlrecorder.h"

#include <QtTest>

class tst_UrlClickLabel : public QObject
{
    Q_OBJECT

private slots:
    void anyButtonOpensLink_data();
    void anyButtonOpensLink();
    void onlyWebAddressesAreOpened_data();
    void onlyWebAddressesAreOpened();
};

void tst_UrlClickLabel::anyButtonOpensLink_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("left") << Qt::LeftButton;
    QTest::newRow("right") << Qt::RightButton;
    QTest::newRow("middle") << Qt::MiddleButton;
}

void tst_UrlClickLabel::anyButtonOpensLink()
{
    QFETCH(Qt::MouseButton, button);
    UrlRecorder browser;
    UrlClickLabel label;
    label.setUrl(QStringLiteral("https://banners.morvane.example/spring?id=7"));
    label.resize(100, 30);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QTest::mouseClick(&label, button);
    QCOMPARE(browser.opened,
             QList<QUrl>({QUrl(QStringLiteral("https://banners.morvane.example/spring?id=7"))}));
}

void tst_UrlClickLabel::onlyWebAddressesAreOpened_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<bool>("opened");

    QTest::newRow("http") << "http://www.morvane.example/" << true;
    QTest::newRow("https") << "https://www.morvane.example/news" << true;
    QTest::newRow("upper-case scheme") << "HTTPS://www.morvane.example/" << true;
    QTest::newRow("file") << "file:///etc/passwd" << false;
    QTest::newRow("ftp") << "ftp://files.morvane.example/x" << false;
    QTest::newRow("custom handler") << "morvane://run?cmd=rm" << false;
    QTest::newRow("no host") << "http:///etc/passwd" << false;
    QTest::newRow("empty (no banner yet)") << "" << false;
}

void tst_UrlClickLabel::onlyWebAddressesAreOpened()
{
    QFETCH(QString, link);
    QFETCH(bool, opened);

    UrlRecorder browser;
    UrlClickLabel label;
    label.setUrl(link);
    label.resize(100, 30);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QTest::mouseClick(&label, Qt::LeftButton);
    QCOMPARE(browser.opened.size(), opened ? 1 : 0);
}

QTEST_MAIN(tst_UrlClickLabel)

#include "tst_urlclicklabel.moc"
