#include "ui/urlclicklabel.h"

#include "ui/weblinks.h"

#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget *parent)
    : QLabel(parent)
{ }

void UrlClickLabel::setUrl(const QString &url)
{
    m_url = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    WebLinks::openInBrowser(QUrl(m_url));
    event->accept();
}
