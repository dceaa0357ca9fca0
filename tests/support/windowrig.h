#ifndef ORVIK_WINDOWRIG_H
#define ORVIK_WINDOWRIG_H

#include "testhelpers.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include <functional>

// The main window on the device simulator (or on a port of the test's own), as the window tests drive it. A timer
// answers each modal message box the way an operator would, so that its nested event loop runs as in real use, and
// records it together with what the window looked like while it was up.
class WindowRig
{
public:
    struct Moment
    {
        int cursors; // override cursors on the stack
        QStringList controls;
        bool portOpen;
        int dialogs; // progress dialogs alive
        qint64 at; // ms since the window opened
    };

    WindowRig();
    ~WindowRig() { close(); }
    bool open(const QStringList &simArgs); // a simulator, and a window on its link
    bool openReady(const QStringList &simArgs) { return open(simArgs) && waitForBoxes(1); } // the battery box
    void openWindow(const QString &portName);
    void close(); // the window first, so that its port is closed before the simulator goes

    OrvikDevice *device() const { return window->findChild<OrvikDevice *>(); }
    template<typename T = QWidget>
    T *child(const char *name) const
    {
        return window->findChild<T *>(name);
    }
    void click(const char *name) { child<QAbstractButton>(name)->click(); }
    bool waitForBoxes(int count, int timeoutMs = 120000)
    {
        return waitFor([&] { return moments.size() >= count; }, timeoutMs);
    }
    static bool waitFor(const std::function<bool()> &done, int timeoutMs);
    qint64 openedSince(qint64 at) const; // the first attempt to open the port from that moment on, or -1
    bool detached() const; // as at start-up, and after the port was lost
    QStringList controls() const; // enabled operation controls
    QStringList information() const; // value widgets in use: text, " (disabled)", "<position> of <entries>"
    QStringList rows() const;
    QStringList requests() const { return sim->appRequests(); }
    QStringList violations(); // the simulator's, once it has been stopped
    QList<QProgressDialog *> dialogs() const { return window->findChildren<QProgressDialog *>(); }
    static int cursorDepth();

    static const QStringList Ready, All;

    MainWindow *window = nullptr;
    SimProcess *sim = nullptr;
    QStringList boxes; // "<W|I|Q> title: text"; "malformed " first unless a standard box of the window
    QList<Moment> moments; // the window while each of them was up
    QList<QMessageBox::StandardButton> answers; // pressed in turn, then the fallback
    QMessageBox::StandardButton fallback = QMessageBox::Ok;
    QTimer answering; // stopped, it leaves a box open
    QList<qint64> opens; // ms since the window opened, at each later attempt to open the port
    int losses = 0; // resource errors: the port went away
    QElapsedTimer clock;
};

#endif // ORVIK_WINDOWRIG_H
