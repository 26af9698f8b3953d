#include "app/zelk_test_app.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QSessionManager>

#include "app/app_version.h"
#include "app/companion_launch.h"
#include "app/zelk_test_dlg.h"

CZelk_testApp::CZelk_testApp() = default;

CZelk_testApp::~CZelk_testApp() = default;

void CZelk_testApp::SetApplicationInfo() {
  // The application's name is the executable's file name; it captions the message boxes.
  QCoreApplication::setApplicationName(
      QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
  QCoreApplication::setApplicationVersion(QString::fromLatin1(app::kAppVersion));
  QGuiApplication::setDesktopFileName(QString::fromLatin1(app::kInternalName));
}

bool CZelk_testApp::InitInstance() {
  app::LaunchCompanion();  // a failed launch is silent

  CZelk_testDlg dlg;
  m_pMainWnd = &dlg;
  QGuiApplication::setWindowIcon(dlg.m_hIcon);
  qApp->installEventFilter(this);
  const auto commit = connect(qApp, &QGuiApplication::commitDataRequest, this,
                              &CZelk_testApp::OnCommitDataRequest, Qt::DirectConnection);
  dlg.DoModal();
  disconnect(commit);
  qApp->removeEventFilter(this);
  m_pMainWnd = nullptr;
  return false;
}

void CZelk_testApp::EndSession() {
  if (m_pMainWnd != nullptr) m_pMainWnd->OnEndSession(true);
  // Ends the dialog's loop and any message box's nested one; no new loop starts after this.
  QCoreApplication::exit(0);
}

bool CZelk_testApp::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::Quit) {
    EndSession();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void CZelk_testApp::OnCommitDataRequest(QSessionManager& manager) {
  // Nothing to save and never a reason to refuse: the answer is always yes, at once, with
  // no interaction asked for, so the session never waits on the monitor.
  const bool allow = m_pMainWnd == nullptr || m_pMainWnd->OnQueryEndSession();
  if (!allow) manager.cancel();
}
