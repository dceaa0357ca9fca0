#include "windowrig.h"

#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QListView>
#include <QTest>

#include <algorithm>
#include <utility>

const QStringList WindowRig::Ready = { "scanButton", "upperButton", "lowerButton", "resetButton", "logButton" };
const QStringList WindowRig::All = { "scanButton", "upperButton", "lowerButton", "pairButton",
                                     "listView",   "resetButton", "logButton" };

WindowRig::WindowRig()
{
    QObject::connect(&answering, &QTimer::timeout, [this] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        // Answered boxes stay up until their exec() returns.
        if (!box || !box->isVisible() || box->property("answered").toBool())
            return;
        box->setProperty("answered", true);
        const bool question = box->icon() == QMessageBox::Question;
        const bool standard =
                box->standardButtons() == (question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok)
                && !box->defaultButton() && box->parentWidget() == window && box->isModal();
        const char icon = question                        ? 'Q'
                : box->icon() == QMessageBox::Warning     ? 'W'
                : box->icon() == QMessageBox::Information ? 'I'
                                                          : '?';
        boxes << QStringLiteral("%1%2 %3: %4")
                         .arg(standard ? "" : "malformed ")
                         .arg(icon)
                         .arg(box->windowTitle(), box->text());
        moments << Moment{ cursorDepth(), controls(), device()->isOpen(), int(dialogs().size()), clock.elapsed() };
        if (QAbstractButton *button = box->button(answers.isEmpty() ? fallback : answers.takeFirst()))
            button->click();
        else
            box->reject(); // a button the box lacks: closed instead
    });
}

bool WindowRig::open(const QStringList &simArgs)
{
    close();
    sim = new SimProcess;
    if (sim->start(simArgs))
        openWindow(sim->linkPath());
    return window;
}

void WindowRig::openWindow(const QString &portName)
{
    delete window;
    boxes.clear();
    moments.clear();
    opens.clear();
    losses = 0;
    clock.start();
    window = new MainWindow(portName);
    QObject::connect(device(), &QSerialPort::errorOccurred, window, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::NoError)
            opens << clock.elapsed();
        losses += error == QSerialPort::ResourceError;
    });
    window->show();
    answering.start(20);
}

void WindowRig::close()
{
    answering.stop();
    answers.clear();
    fallback = QMessageBox::Ok;
    delete std::exchange(window, nullptr);
    delete std::exchange(sim, nullptr);
    while (QGuiApplication::overrideCursor()) // whatever a failed test left behind
        QGuiApplication::restoreOverrideCursor();
}

qint64 WindowRig::openedSince(qint64 at) const
{
    const auto found = std::find_if(opens.cbegin(), opens.cend(), [at](qint64 open) { return open >= at; });
    return found == opens.cend() ? -1 : *found;
}

// QTest::qWaitFor sleeps 10 ms between passes of the event loop, which stretches each stop-and-wait round trip of a
// transfer to that; a loop of its own runs the transfer at the speed the window does.
bool WindowRig::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(5);
    if (!done())
        loop.exec();
    return done();
}

bool WindowRig::detached() const
{
    const auto *upper = child<QAbstractButton>("upperButton"), *lower = child<QAbstractButton>("lowerButton");
    return window->isEnabled() && (controls() + information() + rows()).isEmpty() && !upper->isChecked()
            && !lower->isChecked() && upper->text() + lower->text() == "Upper NormalLower Normal";
}

QStringList WindowRig::controls() const
{
    QStringList on;
    for (const QString &name : All)
        if (window->findChild<QWidget *>(name)->isEnabled())
            on << name;
    return on;
}

QStringList WindowRig::information() const
{
    QStringList shown;
    for (const char *name : { "nameLabel", "hwRevLabel", "fwRevLabel", "swRevLabel" }) {
        auto *label = child<QLabel>(name);
        if (label->isEnabled() || !label->text().isEmpty())
            shown << label->text() + (label->isEnabled() ? "" : " (disabled)");
    }
    auto *combo = child<QComboBox>("positionComboBox");
    if (combo->isEnabled() || combo->count())
        shown << QStringLiteral("%1 of %2").arg(combo->currentText()).arg(combo->count());
    return shown;
}

QStringList WindowRig::rows() const
{
    const QAbstractItemModel *model = child<QListView>("listView")->model();
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row)
        texts << model->index(row, 0).data().toString();
    return texts;
}

QStringList WindowRig::violations()
{
    const QJsonObject summary = sim->summary();
    QStringList found;
    for (const QJsonValue &violation : summary.value("violations").toArray())
        found << violation.toString();
    return summary.isEmpty() ? QStringList{ "no summary" } : found;
}

int WindowRig::cursorDepth()
{
    // The stack has no size query: take it apart and put it back. The window only ever pushes the wait cursor.
    int depth = 0;
    for (; QGuiApplication::overrideCursor(); ++depth)
        QGuiApplication::restoreOverrideCursor();
    for (int i = 0; i < depth; ++i)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    return depth;
}
