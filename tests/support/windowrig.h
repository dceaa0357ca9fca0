#ifndef ORVIK_WINDOWRIG_H
#define ORVIK_WINDOWRIG_H

#include "boxanswerer.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class MainWindow;
class OrvikDevice;
class QProgressDialog;
class SimProcess;

// The main window on the device simulator, as the workflow tests drive it.
// Every message box is answered by a BoxAnswerer and recorded together with
// what the window looked like while the box was up, so that a test can check
// "the cursor is popped and the port closed before the box" in one line.
class WindowRig : public QObject
{
    Q_OBJECT

public:
    // The window while one box was up.
    struct Moment
    {
        QString box;          // "<W|I|Q> title: text"; prefixed "malformed " if the box breaks the house rules
        int cursors = 0;      // override cursors on the stack
        QStringList controls; // enabled operation controls
        bool portOpen = false;
        int dialogs = 0;      // progress dialogs alive
    };

    explicit WindowRig(QObject *parent = nullptr);
    ~WindowRig() override;

    // Starts the simulator with simArgs, then a window on portName (the
    // simulator's link when empty). Anything opened before is closed first.
    bool open(const QStringList &simArgs, const QString &portName = QString());
    // A window on portName with no simulator behind the rig (the test plays the device).
    void openWindow(const QString &portName);
    // Whether a window is up on a simulator started with exactly these arguments.
    bool isOpenWith(const QStringList &simArgs) const;
    // The window goes first, so that its port is closed before the simulator.
    void close();
    // Replaces the simulator (the window stays): stops the old one, starts one with simArgs.
    bool replaceSim(const QStringList &simArgs);

    MainWindow *window() const { return mainWindow; }
    SimProcess *sim() const { return simulator; }
    BoxAnswerer &answerer() { return *boxAnswerer; }
    OrvikDevice *device() const;
    QWidget *widget(const char *name) const;
    template<typename T> T *child(const char *name) const { return qobject_cast<T *>(widget(name)); }

    // Enabled operation controls by object name, in the order of the enable calls.
    QStringList controls() const;
    // Every box so far, as in Moment::box.
    QStringList boxes() const;
    const QList<Moment> &moments() const { return seen; }
    bool waitForBoxes(int count, int timeoutMs = 60000) { return boxAnswerer->waitForCount(count, timeoutMs); }
    // Stops the simulator and returns the protocol violations of its summary
    // ("no summary" if it wrote none).
    QStringList simViolations();
    // Request frames the simulator's application firmware received, as hex.
    QStringList requests() const;
    QList<QProgressDialog *> dialogs() const;
    // Name, revisions ("<text> (disabled)" when off) and "<position> of <entries>"; empty once cleared.
    QStringList information() const;
    // Rows of the radio list.
    QStringList rows() const;
    // Depth of the application's override cursor stack (0: normal cursor).
    static int cursorDepth();
    // Drops whatever override cursors a failed test left behind.
    static void resetCursor();

    static const QStringList ReadyControls;
    static const QStringList AllControls;

private:
    void record(const BoxAnswerer::Box &box);

    BoxAnswerer *boxAnswerer = nullptr; // fresh for every window: no answers queued by an earlier case
    SimProcess *simulator = nullptr;
    MainWindow *mainWindow = nullptr;
    QStringList simArguments;
    QList<Moment> seen;
};

#endif // ORVIK_WINDOWRIG_H
