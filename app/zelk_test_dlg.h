// CZelk_testDlg: the monitor window. It owns all monitor state (counters, flags, filter,
// send line, interval, the log) and is the client window of the bus.
//
// Threads: everything runs on the GUI thread except BusPost, which the bus library calls on
// its own I/O thread. BusPost only posts a BusNotifyEvent to this dialog
// (QCoreApplication::postEvent is thread-safe and does not block); OnBusNotify handles the
// event on the GUI thread. After Unregister has returned the library posts no more, and
// events still queued for a destroyed dialog are discarded by Qt.
#pragma once

#include <QDialog>
#include <QEvent>
#include <QIcon>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "app/data_exchange.h"
#include "app/dialog_template.h"
#include "app/log_edit.h"
#include "pelmo.h"

class QTimerEvent;

namespace app {

// WM_BUS_NOTIFY as a Qt event: the code word and the block handle.
class BusNotifyEvent : public QEvent {
 public:
  BusNotifyEvent(std::uintptr_t wparam, std::intptr_t lparam)
      : QEvent(TypeId()), wparam_(wparam), lparam_(lparam) {}
  static QEvent::Type TypeId();
  std::uintptr_t WParam() const { return wparam_; }
  std::intptr_t LParam() const { return lparam_; }

 private:
  std::uintptr_t wparam_;
  std::intptr_t lparam_;
};

inline constexpr std::uint32_t kFlushTimerId = 1;
inline constexpr std::uint32_t kSendTimerId = 2;
inline constexpr std::uint32_t kFlushPeriodMs = 400;
inline constexpr std::uint32_t kDefaultIntervalMs = 200;
inline constexpr int kFilterMaxChars = 4;
inline constexpr int kSendMaxChars = 32;
inline constexpr char kDefaultSendLine[] = "115599 00 22 99 00 00 11 33 33";
inline constexpr char kLoadErrorText[] = "load dll error!";

}  // namespace app

class CZelk_testDlg : public QDialog, public app::DataExchangeHost {
  Q_OBJECT

 public:
  enum { IDD = app::IDD_ZELK_TEST_DIALOG };

  // Shows a message box with an OK button, captioned with the application's name.
  using Notifier = std::function<void(const QString& text)>;
  // Binds the bus library; true when bound.
  using BusLoader = std::function<bool()>;

  explicit CZelk_testDlg(QWidget* pParent = nullptr);
  ~CZelk_testDlg() override;

  // Monitor state, in declaration order. Every member has a defined value from construction
  // on, so a notification arriving during registration finds them set.
  std::uint32_t m_nFilterId = 0;
  bool m_bPaused = false;
  bool m_bFlushDue = false;
  std::uint64_t m_nRxCount = 0;
  std::uint64_t m_nTxCount = 0;
  app::LogEdit m_editLog;
  std::string m_strFilterId;
  std::string m_strSendData = app::kDefaultSendLine;
  std::uint32_t m_nInterval = app::kDefaultIntervalMs;
  bool m_bTimerOn = false;
  QIcon m_hIcon;
  std::uint64_t m_nLineNo = 0;

  // Runs the dialog modally; returns IDOK or IDCANCEL.
  int DoModal();
  // Exchanges data with the controls; false when a control failed validation.
  bool UpdateData(bool bSaveAndValidate = true);
  QWidget* GetDlgItem(int id) const override;
  void SetDlgItemText(int id, const QString& text);
  void MessageBox(const QString& text) override;
  void SetTimer(std::uint32_t nIDEvent, std::uint32_t nElapse);
  void KillTimer(std::uint32_t nIDEvent);
  bool IsTimerRunning(std::uint32_t nIDEvent) const;
  void EndDialog(int nResult);
  pm_window* BusWindow() { return &m_window; }

  // Seams for tests; the program uses the message box and bus::LoadBus.
  void SetNotifier(Notifier notifier) { notifier_ = std::move(notifier); }
  void SetBusLoader(BusLoader loader) { bus_loader_ = std::move(loader); }

  // Handlers, named after the messages and notifications they answer.
  bool OnInitDialog();
  void OnPaint();
  QIcon OnQueryDragIcon() const;
  void OnDestroy();
  std::intptr_t OnBusNotify(std::uintptr_t wParam, std::intptr_t lParam);
  void OnBnClickedClear();
  void OnBnClickedPause();
  void OnTimer(std::uintptr_t nIDEvent);
  void OnEnChangeFilterId();
  void OnBnClickedSend();
  void OnBnClickedTimer();
  void OnEndSession(bool bEnding);
  bool OnQueryEndSession();
  void OnOK();
  void OnCancel();

  void setVisible(bool visible) override;
  void done(int result) override;

 protected:
  void DoDataExchange(app::DataExchange& dx);

  bool event(QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void timerEvent(QTimerEvent* e) override;

 private:
  void ConnectMessageMap();
  void SendFrame();
  // Control notifications are ignored while an exchange writes to the controls.
  std::function<void()> Notification(void (CZelk_testDlg::*handler)());
  static void BusPost(void* context, std::uint32_t message, std::uintptr_t wparam,
                      std::intptr_t lparam);

  pm_window m_window{};
  Notifier notifier_;
  BusLoader bus_loader_;
  std::array<int, 3> qt_timer_ids_{};  // Qt's id of timers 1 and 2 (index = our id), 0 when off
  int notify_lockout_ = 0;
  bool window_created_ = false;
};
