#include "boxanswerer.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>

// Marks a box that has been answered; it may still be on screen until its
// exec() returns, and the next box can reuse the same address.
static const char AnsweredProperty[] = "_boxAnswererDone";

BoxAnswerer::BoxAnswerer(QObject *parent)
    : QObject(parent)
    , timer(new QTimer(this))
{
    connect(timer, &QTimer::timeout, this, &BoxAnswerer::poll);
    timer->start(20);
}

void BoxAnswerer::expect(QMessageBox::StandardButton answer)
{
    queue.append(answer);
}

QList<BoxAnswerer::Box> BoxAnswerer::unexpected() const
{
    QList<Box> result;
    for (const Box &box : seen)
        if (!box.expected)
            result.append(box);
    return result;
}

QStringList BoxAnswerer::titles() const
{
    QStringList result;
    for (const Box &box : seen)
        result.append(box.title);
    return result;
}

bool BoxAnswerer::waitForCount(int n, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (seen.size() < n && !deadline.hasExpired())
        QTest::qWait(20);
    return seen.size() >= n;
}

void BoxAnswerer::poll()
{
    auto *messageBox = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!messageBox || !messageBox->isVisible() || messageBox->property(AnsweredProperty).toBool())
        return;
    messageBox->setProperty(AnsweredProperty, true);

    Box box;
    box.title = messageBox->windowTitle();
    box.text = messageBox->text();
    box.icon = messageBox->icon();
    box.buttons = messageBox->standardButtons();
    if (messageBox->defaultButton())
        box.defaultButton = messageBox->standardButton(messageBox->defaultButton());
    box.modality = messageBox->windowModality();
    box.parent = messageBox->parentWidget();
    box.expected = !queue.isEmpty();
    const QMessageBox::StandardButton wanted = box.expected ? queue.takeFirst() : defaultAnswer;

    QAbstractButton *button = messageBox->button(wanted);
    if (!button)
        button = messageBox->escapeButton();
    box.answer = button ? messageBox->standardButton(button) : QMessageBox::NoButton;
    seen.append(box);
    emit answered(box);
    if (button)
        button->click();
    else
        messageBox->reject();
}
