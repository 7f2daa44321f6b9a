#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers modal message boxes from inside a test: every 20 ms it looks for the
// active modal QMessageBox, records what it shows and presses the next button
// of the given list (the last one again once the list is used up). Lives as
// long as the test keeps it; starts watching when constructed.
class MessageBoxAnswerer : public QObject
{
    Q_OBJECT
public:
    struct Box
    {
        QString title;
        QString text;
        Qt::TextFormat textFormat = Qt::AutoText;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QStringList buttonTexts; // in the order the box holds them
        bool hasDefaultButton = false;
        bool hasParent = false;
        qint64 shownAfterMs = 0; // since construction or restartClock()
    };

    explicit MessageBoxAnswerer(const QList<QMessageBox::StandardButton> &answers,
                                QObject *parent = nullptr);

    // Called with each box before it is answered.
    void setOnBox(std::function<void(const Box &)> onBox) { m_onBox = std::move(onBox); }
    void restartClock() { m_clock.restart(); }

    QList<Box> boxes;

private:
    void onTick();

    QList<QMessageBox::StandardButton> m_answers;
    std::function<void(const Box &)> m_onBox;
    QTimer m_timer;
    QElapsedTimer m_clock;
};
