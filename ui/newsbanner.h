#pragma once

#include <QBasicTimer>
#include <QWidget>

class QTextDocument;

// A one-line news ticker: the news, as rich text that loads no resources,
// scrolls from the right edge to the left one pixel every 20 ms, pauses 3 s
// once it has left the widget, and starts again. A left click opens the
// maker's web site.
class NewsBanner : public QWidget
{
    Q_OBJECT
public:
    explicit NewsBanner(QWidget *parent = nullptr);
    ~NewsBanner() override;

    // The news as HTML; restarts the pass at the right edge.
    void setNews(const QString &news);

protected:
    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

protected: // tests reach the state through a subclass
    QBasicTimer m_timer;
    QTextDocument *m_document = nullptr;
    int m_x = 0;
    int m_textWidth = 0;
    int m_textHeight = 0;
    bool m_paused = false;
};
