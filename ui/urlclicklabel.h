#pragma once

#include <QLabel>
#include <QString>

// A label that opens its link in the desktop's browser when it is clicked with
// any mouse button. Used for the logo and the news banner image.
class UrlClickLabel : public QLabel
{
    Q_OBJECT
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url);
    QString url() const { return m_url; }

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString m_url;
};
