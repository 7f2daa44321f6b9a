#include "ui/newsbanner.h"

#include "ui/inerttextdocument.h"
#include "ui/weblinks.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QTimerEvent>
#include <QUrl>

namespace {
constexpr int scrollIntervalMs = 20;
constexpr int pauseMs = 3000;
// A pass starts this far inside the right edge and ends this far beyond the left one.
constexpr int edgeMargin = 10;
constexpr int bannerHeight = 16;
} // namespace

NewsBanner::NewsBanner(QWidget *parent)
    : QWidget(parent)
    , m_document(new InertTextDocument(this))
{
    setMinimumHeight(bannerHeight);
    setMaximumHeight(bannerHeight);
    setObjectName(QStringLiteral("NewsBanner"));
    setCursor(Qt::PointingHandCursor);
    setToolTip(QWidget::tr("Click to read latest Morvane news"));
}

NewsBanner::~NewsBanner()
{
    m_timer.stop();
}

void NewsBanner::setNews(const QString &news)
{
    m_document->setHtml(news);
    m_document->setDocumentMargin(0);
    m_paused = false;
    m_x = width() - edgeMargin;
    const QFontMetrics metrics(m_document->defaultFont());
    m_textWidth = metrics.horizontalAdvance(m_document->toPlainText());
    m_textHeight = metrics.height();
    m_timer.start(scrollIntervalMs, this);
}

void NewsBanner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (m_paused) {
        m_paused = false;
        m_timer.start(scrollIntervalMs, this);
    }
    --m_x;
    repaint();
}

void NewsBanner::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    WebLinks::openInBrowser(QUrl(WebLinks::makerWebSite()));
    event->accept();
}

void NewsBanner::paintEvent(QPaintEvent *)
{
    if (m_paused)
        return;
    if (width() < m_x)
        m_x = width() - edgeMargin;

    QPainter painter(this);
    painter.translate(m_x, (height() - m_textHeight) / 2.0);
    m_document->drawContents(&painter);

    if (m_x + m_textWidth < -edgeMargin) {
        m_paused = true;
        m_x = width() - edgeMargin;
        m_timer.start(pauseMs, this);
    }
}
