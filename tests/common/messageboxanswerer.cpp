#include "messageboxanswerer.h"

#include <QAbstractButton>
#include <QApplication>

MessageBoxAnswerer::MessageBoxAnswerer(const QList<QMessageBox::StandardButton> &answers,
                                       QObject *parent)
    : QObject(parent)
    , m_answers(answers)
{
    connect(&m_timer, &QTimer::timeout, this, &MessageBoxAnswerer::onTick);
    m_timer.start(20);
    m_clock.start();
}

void MessageBoxAnswerer::onTick()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("morvaneAnswered").toBool())
        return;
    box->setProperty("morvaneAnswered", true);

    Box seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.textFormat = box->textFormat();
    seen.icon = box->icon();
    seen.buttons = box->standardButtons();
    for (const QAbstractButton *button : box->buttons())
        seen.buttonTexts.append(button->text());
    seen.hasDefaultButton = box->defaultButton() != nullptr;
    seen.hasParent = box->parentWidget() != nullptr;
    seen.shownAfterMs = m_clock.elapsed();
    boxes.append(seen);
    if (m_onBox)
        m_onBox(seen);

    const int index = qMin(int(boxes.size()) - 1, int(m_answers.size()) - 1);
    QAbstractButton *button = index >= 0 ? box->button(m_answers.at(index)) : box->escapeButton();
    if (!button)
        button = box->buttons().value(0);
    if (button)
        button->click();
}
