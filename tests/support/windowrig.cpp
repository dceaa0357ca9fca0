#include "windowrig.h"

#include "mainwindow.h"
#include "orvikdevice.h"
#include "simprocess.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QLabel>
#include <QGuiApplication>
#include <QJsonArray>
#include <QListView>
#include <QProgressDialog>

const QStringList WindowRig::ReadyControls = {"scanButton", "upperButton", "lowerButton", "resetButton", "logButton"};
const QStringList WindowRig::AllControls = {"scanButton", "upperButton", "lowerButton", "pairButton",
                                            "listView",   "resetButton", "logButton"};

WindowRig::WindowRig(QObject *parent)
    : QObject(parent)
{
    close();
}

WindowRig::~WindowRig()
{
    close();
}

bool WindowRig::open(const QStringList &simArgs, const QString &portName)
{
    close();
    simulator = new SimProcess(this);
    simArguments = simArgs;
    if (!simulator->start(simArgs))
        return false;
    mainWindow = new MainWindow(portName.isEmpty() ? simulator->linkPath() : portName);
    mainWindow->show();
    return true;
}

void WindowRig::openWindow(const QString &portName)
{
    close();
    mainWindow = new MainWindow(portName);
    mainWindow->show();
}

bool WindowRig::isOpenWith(const QStringList &simArgs) const
{
    return mainWindow && simulator && simArguments == simArgs;
}

void WindowRig::close()
{
    delete mainWindow;
    mainWindow = nullptr;
    delete simulator;
    simulator = nullptr;
    delete boxAnswerer;
    boxAnswerer = new BoxAnswerer(this);
    connect(boxAnswerer, &BoxAnswerer::answered, this, &WindowRig::record);
    seen.clear();
    resetCursor();
}

bool WindowRig::replaceSim(const QStringList &simArgs)
{
    delete simulator;
    simulator = new SimProcess(this);
    simArguments = simArgs;
    return simulator->start(simArgs);
}

OrvikDevice *WindowRig::device() const
{
    return mainWindow->findChild<OrvikDevice *>();
}

QWidget *WindowRig::widget(const char *name) const
{
    return mainWindow->findChild<QWidget *>(QString::fromLatin1(name));
}

QStringList WindowRig::controls() const
{
    QStringList on;
    for (const QString &name : AllControls)
        if (widget(name.toLatin1().constData())->isEnabled())
            on << name;
    return on;
}

QStringList WindowRig::boxes() const
{
    QStringList all;
    for (const Moment &moment : seen)
        all << moment.box;
    return all;
}

QStringList WindowRig::simViolations()
{
    const QJsonObject summary = simulator->summary();
    if (summary.isEmpty())
        return {QStringLiteral("no summary")};
    QStringList violations;
    for (const QJsonValue &violation : summary.value(QStringLiteral("violations")).toArray())
        violations << violation.toString();
    return violations;
}

QStringList WindowRig::requests() const
{
    QStringList hex;
    if (!simulator)
        return hex;
    for (const QByteArray &frame : simulator->appRequests())
        hex << QString::fromLatin1(frame.toHex());
    return hex;
}

QList<QProgressDialog *> WindowRig::dialogs() const
{
    return mainWindow->findChildren<QProgressDialog *>();
}

QStringList WindowRig::information() const
{
    QStringList shown;
    for (const char *name : {"nameLabel", "hwRevLabel", "fwRevLabel", "swRevLabel"}) {
        auto *label = child<QLabel>(name);
        if (label->isEnabled() || !label->text().isEmpty())
            shown << label->text() + (label->isEnabled() ? QString() : QStringLiteral(" (disabled)"));
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

int WindowRig::cursorDepth()
{
    // The stack has no size query: take it apart and put it back. The window
    // only ever pushes the wait cursor.
    int depth = 0;
    while (QGuiApplication::overrideCursor()) {
        QGuiApplication::restoreOverrideCursor();
        ++depth;
    }
    for (int i = 0; i < depth; ++i)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    return depth;
}

void WindowRig::resetCursor()
{
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

void WindowRig::record(const BoxAnswerer::Box &box)
{
    const bool question = box.icon == QMessageBox::Question;
    const QMessageBox::StandardButtons buttons =
        question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::StandardButtons(QMessageBox::Ok);
    const bool wellFormed = box.buttons == buttons && box.defaultButton == QMessageBox::NoButton
                            && box.parent == mainWindow && box.modality != Qt::NonModal;
    const char icon = box.icon == QMessageBox::Warning       ? 'W'
                      : box.icon == QMessageBox::Information ? 'I'
                      : question                             ? 'Q'
                                                             : '?';
    Moment moment;
    moment.box = QStringLiteral("%1%2 %3: %4")
                     .arg(wellFormed ? QString() : QStringLiteral("malformed "))
                     .arg(QLatin1Char(icon))
                     .arg(box.title, box.text);
    moment.cursors = cursorDepth();
    if (mainWindow) {
        moment.controls = controls();
        moment.portOpen = device()->isOpen();
        moment.dialogs = dialogs().size();
    }
    seen.append(moment);
}
