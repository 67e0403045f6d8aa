#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a clean close on the UI thread: the handler only writes a byte
// to a socket pair, and a notifier on the other end runs `close` and then ends the event loop.
// Ending the loop is what matters when the window is hidden in the tray: closing a hidden window
// is no "last window closed", so the loop would otherwise run on for ever.
// One instance at a time; the previous handlers come back when it is destroyed.
class TerminationSignals : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignals(std::function<void()> close, QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the socket pair could not be made (or another instance is active): the signals
    // then keep their previous handling.
    bool active() const { return notifier_ != nullptr; }

  private:
    void Received();

    std::function<void()> close_;
    QSocketNotifier* notifier_ = nullptr;
};
