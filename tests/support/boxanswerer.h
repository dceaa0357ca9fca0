#ifndef ORVIK_BOXANSWERER_H
#define ORVIK_BOXANSWERER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;

// Answers the application's modal message boxes the way an operator would, so
// that the nested event loops of the window under test run as in real use.
// From a timer it finds the active modal QMessageBox, records what it shows and
// presses a button: the next queued answer, or the default answer when the
// queue is empty (such boxes are marked unexpected).
class BoxAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton; // explicitly set one, if any
        QMessageBox::StandardButton answer = QMessageBox::NoButton;        // the button pressed
        Qt::WindowModality modality = Qt::NonModal;
        QPointer<QWidget> parent;
        bool expected = false; // answered from the queue
    };

    explicit BoxAnswerer(QObject *parent = nullptr);

    // Queue the button to press on the next box. A button the box does not
    // have is replaced by its escape button, as closing the box would be.
    void expect(QMessageBox::StandardButton answer);
    void setDefaultAnswer(QMessageBox::StandardButton answer) { defaultAnswer = answer; }
    int pending() const { return queue.size(); }

    const QList<Box> &boxes() const { return seen; }
    int count() const { return seen.size(); }
    const Box &last() const { return seen.last(); }
    QList<Box> unexpected() const;
    QStringList titles() const;
    void clear() { seen.clear(); }

    // Runs the event loop until at least n boxes have been answered.
    bool waitForCount(int n, int timeoutMs = 20000);

signals:
    void answered(const BoxAnswerer::Box &box);

private:
    void poll();

    QTimer *timer;
    QList<QMessageBox::StandardButton> queue;
    QMessageBox::StandardButton defaultAnswer = QMessageBox::Ok;
    QList<Box> seen;
};

#endif // ORVIK_BOXANSWERER_H
