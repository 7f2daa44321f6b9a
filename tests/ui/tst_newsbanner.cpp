// The news ticker: where a pass starts and ends, the pause between passes,
// and which clicks open the maker's web site.

#include "ui/newsbanner.h"
#include "ui/weblinks.h"
#include "urlrecorder.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimerEvent>
#include <QtTest>

namespace {
// The ticker with its scrolling state open to the test.
class TestableNewsBanner : public NewsBanner
{
public:
    using NewsBanner::m_document;
    using NewsBanner::m_paused;
    using NewsBanner::m_textWidth;
    using NewsBanner::m_timer;
    using NewsBanner::m_x;
    using NewsBanner::timerEvent;
};
} // namespace

class tst_NewsBanner : public QObject
{
    Q_OBJECT

private slots:
    void passEndsBeyondLeftEdgeThenPauses_data();
    void passEndsBeyondLeftEdgeThenPauses();
    void pauseLastsLongerThanScrolling();
    void scrollsByItself();
    void newNewsRestartsAtRightEdge();
    void resizeBringsTextBack();
    void leftClickOpensWebSite();
    void rightClickOpensNothing();
    void newsShowsOnlyCompiledInImages();

private:
    static void tick(TestableNewsBanner &banner)
    {
        QTimerEvent event(banner.m_timer.timerId());
        banner.timerEvent(&event);
    }
    static void showBanner(TestableNewsBanner &banner, int width)
    {
        banner.resize(width, 16);
        banner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&banner));
    }
};

void tst_NewsBanner::passEndsBeyondLeftEdgeThenPauses_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("textWidth");
    QTest::addColumn<int>("ticksOfPass");

    // Starts at 390; ends when x + width < -10.
    QTest::newRow("200 px text") << "Morvane <b>3.1</b> is out" << 200 << 601;
    QTest::newRow("empty news") << "" << 0 << 401;
}

void tst_NewsBanner::passEndsBeyondLeftEdgeThenPauses()
{
    QFETCH(QString, news);
    QFETCH(int, textWidth);
    QFETCH(int, ticksOfPass);

    TestableNewsBanner banner;
    showBanner(banner, 400);
    banner.setNews(news);
    QCOMPARE(banner.m_x, 390);
    QVERIFY(banner.m_timer.isActive());
    if (news.isEmpty())
        QCOMPARE(banner.m_textWidth, 0);
    banner.m_textWidth = textWidth;

    int ticks = 0;
    while (!banner.m_paused && ticks < 2000) {
        tick(banner);
        ++ticks;
    }
    QCOMPARE(ticks, ticksOfPass);
    QCOMPARE(banner.m_x, 390);
    QVERIFY(banner.m_timer.isActive());

    // The next tick ends the pause and starts the next pass at the right edge.
    tick(banner);
    QVERIFY(!banner.m_paused);
    QCOMPARE(banner.m_x, 389);
}

void tst_NewsBanner::pauseLastsLongerThanScrolling()
{
    TestableNewsBanner banner;
    showBanner(banner, 400);
    banner.setNews(QStringLiteral("news"));
    banner.m_textWidth = 0;
    while (!banner.m_paused)
        tick(banner);
    // At 20 ms a tick the text would have moved by 15 pixels; paused, it stays.
    QTest::qWait(300);
    QVERIFY(banner.m_paused);
    QCOMPARE(banner.m_x, 390);
}

void tst_NewsBanner::scrollsByItself()
{
    TestableNewsBanner banner;
    showBanner(banner, 400);
    QVERIFY(!banner.m_timer.isActive());
    banner.setNews(QStringLiteral("news"));
    QTRY_VERIFY_WITH_TIMEOUT(banner.m_x < 385, 2000);
}

void tst_NewsBanner::newNewsRestartsAtRightEdge()
{
    TestableNewsBanner banner;
    showBanner(banner, 300);
    banner.setNews(QStringLiteral("first"));
    for (int i = 0; i < 50; ++i)
        tick(banner);
    QCOMPARE(banner.m_x, 240);
    banner.setNews(QStringLiteral("second"));
    QCOMPARE(banner.m_x, 290);
    QVERIFY(!banner.m_paused);
}

void tst_NewsBanner::resizeBringsTextBack()
{
    TestableNewsBanner banner;
    showBanner(banner, 400);
    banner.setNews(QStringLiteral("news"));
    banner.resize(200, 16);
    tick(banner);
    QCOMPARE(banner.m_x, 190);
}

void tst_NewsBanner::leftClickOpensWebSite()
{
    UrlRecorder browser;
    TestableNewsBanner banner;
    showBanner(banner, 400);
    QTest::mouseClick(&banner, Qt::LeftButton);
    QCOMPARE(browser.opened, QList<QUrl>({QUrl(WebLinks::makerWebSite())}));
}

void tst_NewsBanner::rightClickOpensNothing()
{
    UrlRecorder browser;
    TestableNewsBanner banner;
    showBanner(banner, 400);
    QTest::mouseClick(&banner, Qt::RightButton);
    QTest::mouseClick(&banner, Qt::MiddleButton);
    QVERIFY(browser.opened.isEmpty());
}

void tst_NewsBanner::newsShowsOnlyCompiledInImages()
{
    // Read, the image the test makes would make the news 300 pixels high; the
    // compiled-in logo makes it 48.
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("large.png"));
    QVERIFY(QImage(10, 300, QImage::Format_Mono).save(image));
    TestableNewsBanner banner;
    banner.setNews("<b>New</b> <img src=\"" + image
                   + "\"><img src=\"qrc:/images/morvane_logo.png\">");
    const qreal height = banner.m_document->size().height();
    QVERIFY(height >= 48 && height < 300);
    QVERIFY(banner.m_document->toHtml().contains("font-weight:700;\">New</span>"));
}

QTEST_MAIN(tst_NewsBanner)

#include "tst_newsbanner.moc"
