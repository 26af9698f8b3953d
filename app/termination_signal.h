// Turns SIGTERM and SIGINT into a Qt signal on the GUI thread (the self-pipe pattern): the
// handler only writes one byte to a pipe; a QSocketNotifier reads it in the event loop.
//
// Threads: the handler runs on whichever thread the kernel picks and touches nothing but
// the pipe's write end; Raised() is emitted on the thread that owns this object.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace app {

class TerminationSignal : public QObject {
  Q_OBJECT
 public:
  explicit TerminationSignal(QObject* parent = nullptr);
  ~TerminationSignal() override;
  TerminationSignal(const TerminationSignal&) = delete;
  TerminationSignal& operator=(const TerminationSignal&) = delete;

  bool IsInstalled() const { return notifier_ != nullptr; }

 signals:
  void Raised(int signal_number);

 private:
  void Drain();

  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace app
