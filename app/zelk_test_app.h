// CZelk_testApp: starts the companion, runs the monitor dialog modally and lets the process
// end when it closes. The companion is left running.
//
// Ending a session: the session manager's request to save (commitDataRequest) is answered
// by OnQueryEndSession, which never refuses and never waits for the user. When the session
// really ends (Qt's Quit from the platform) or SIGTERM/SIGINT arrives, EndSession runs the
// dialog's OnEndSession(true) - timers, registration, library - and ends every event loop.
#pragma once

#include <QObject>

class CZelk_testDlg;
class QSessionManager;

class CZelk_testApp : public QObject {
  Q_OBJECT

 public:
  CZelk_testApp();
  ~CZelk_testApp() override;

  // Sets the application's names and version; call once the QApplication exists.
  static void SetApplicationInfo();

  // Launches the companion, runs the dialog; returns false: the process then ends.
  virtual bool InitInstance();

  // Releases the bus through the dialog and ends the run (session end, termination signal).
  void EndSession();

  CZelk_testDlg* m_pMainWnd = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnCommitDataRequest(QSessionManager& manager);
};
