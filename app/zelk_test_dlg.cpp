#include "app/zelk_test_dlg.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimerEvent>
#include <algorithm>
#include <chrono>
#include <climits>

#include "bus/bus_binding.h"
#include "bus/bus_notify.h"
#include "frame/read_hex.h"
#include "frame/receive_log.h"
#include "frame/send_line.h"

using namespace app;

namespace {

// Longest period a timer takes; a longer interval runs at this period, as on Windows.
constexpr std::uint32_t kMaxTimerPeriodMs = INT_MAX;

QString CounterText(std::string_view prefix, std::uint64_t count) {
  char text[32];
  const std::size_t length = frame::FormatCounter(text, prefix, count);
  return QString::fromLatin1(text, static_cast<qsizetype>(length));
}

void ShowMessageBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                  parent);
  box.exec();  // a nested event loop: ticks and bus notifications go on meanwhile
}

}  // namespace

QEvent::Type BusNotifyEvent::TypeId() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

CZelk_testDlg::CZelk_testDlg(QWidget* pParent)
    : QDialog(pParent),
      m_hIcon(QStringLiteral(":/icons/zelk_test.svg")),
      m_window{&CZelk_testDlg::BusPost, this},
      notifier_([this](const QString& text) { ShowMessageBox(this, text); }),
      bus_loader_([] { return bus::LoadBus(); }) {
  BuildDialog(*this);
  m_editLog.AttachRxLabel(qobject_cast<QLabel*>(GetDlgItem(IDC_RX_COUNT)));
  ConnectMessageMap();
}

CZelk_testDlg::~CZelk_testDlg() {
  if (window_created_) {
    window_created_ = false;
    OnDestroy();
  }
}

// The message map, in order. Window messages without a signal are routed from the event
// handlers named beside them.
void CZelk_testDlg::ConnectMessageMap() {
  // WM_PAINT          -> OnPaint          (paintEvent)
  // WM_QUERYDRAGICON  -> OnQueryDragIcon  (the window icon serves as the drag icon)
  // WM_DESTROY        -> OnDestroy        (done(), or the destructor)
  // WM_BUS_NOTIFY     -> OnBusNotify      (event(): BusNotifyEvent)
  connect(static_cast<QPushButton*>(GetDlgItem(IDC_CLEAR)), &QPushButton::clicked, this,
          Notification(&CZelk_testDlg::OnBnClickedClear));
  connect(static_cast<QPushButton*>(GetDlgItem(IDC_PAUSE)), &QPushButton::clicked, this,
          Notification(&CZelk_testDlg::OnBnClickedPause));
  // WM_TIMER          -> OnTimer          (timerEvent)
  connect(static_cast<QLineEdit*>(GetDlgItem(IDC_FILTER_ID)), &QLineEdit::textChanged, this,
          Notification(&CZelk_testDlg::OnEnChangeFilterId));
  connect(static_cast<QPushButton*>(GetDlgItem(IDC_SEND)), &QPushButton::clicked, this,
          Notification(&CZelk_testDlg::OnBnClickedSend));
  connect(static_cast<QCheckBox*>(GetDlgItem(IDC_TIMER)), &QCheckBox::clicked, this,
          Notification(&CZelk_testDlg::OnBnClickedTimer));
  // WM_ENDSESSION     -> OnEndSession     (CZelk_testApp: session end, SIGTERM)
  // WM_QUERYENDSESSION-> OnQueryEndSession (CZelk_testApp: the session manager's request)
  // The hidden OK and Cancel buttons, and Enter and Esc, go to OnOK and OnCancel.
  connect(static_cast<QPushButton*>(GetDlgItem(IDOK)), &QPushButton::clicked, this,
          Notification(&CZelk_testDlg::OnOK));
  connect(static_cast<QPushButton*>(GetDlgItem(IDCANCEL)), &QPushButton::clicked, this,
          Notification(&CZelk_testDlg::OnCancel));
}

std::function<void()> CZelk_testDlg::Notification(void (CZelk_testDlg::*handler)()) {
  return [this, handler] {
    if (notify_lockout_ == 0) (this->*handler)();
  };
}

void CZelk_testDlg::DoDataExchange(DataExchange& dx) {
  DDX_Control(dx, IDC_LOG, m_editLog);
  DDX_Text(dx, IDC_FILTER_ID, m_strFilterId);
  DDV_MaxChars(dx, m_strFilterId, kFilterMaxChars);
  DDX_Text(dx, IDC_SEND_DATA, m_strSendData);
  DDV_MaxChars(dx, m_strSendData, kSendMaxChars);
  DDX_Text(dx, IDC_INTERVAL, m_nInterval);
  DDX_Check(dx, IDC_TIMER, m_bTimerOn);
}

bool CZelk_testDlg::UpdateData(bool bSaveAndValidate) {
  DataExchange dx(*this, bSaveAndValidate);
  ++notify_lockout_;
  DoDataExchange(dx);
  --notify_lockout_;
  return !dx.Failed();
}

int CZelk_testDlg::DoModal() { return exec(); }

QWidget* CZelk_testDlg::GetDlgItem(int id) const { return FindDlgItem(*this, id); }

void CZelk_testDlg::SetDlgItemText(int id, const QString& text) {
  QWidget* control = GetDlgItem(id);
  if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    button->setText(text);
  } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
  }
}

void CZelk_testDlg::MessageBox(const QString& text) {
  if (notifier_) notifier_(text);
}

void CZelk_testDlg::SetTimer(std::uint32_t nIDEvent, std::uint32_t nElapse) {
  if (nIDEvent >= qt_timer_ids_.size()) return;
  KillTimer(nIDEvent);
  const auto period = std::chrono::milliseconds(std::min(nElapse, kMaxTimerPeriodMs));
  qt_timer_ids_[nIDEvent] = startTimer(period);
}

void CZelk_testDlg::KillTimer(std::uint32_t nIDEvent) {
  if (nIDEvent >= qt_timer_ids_.size() || qt_timer_ids_[nIDEvent] == 0) return;
  killTimer(qt_timer_ids_[nIDEvent]);
  qt_timer_ids_[nIDEvent] = 0;
}

bool CZelk_testDlg::IsTimerRunning(std::uint32_t nIDEvent) const {
  return nIDEvent < qt_timer_ids_.size() && qt_timer_ids_[nIDEvent] != 0;
}

void CZelk_testDlg::EndDialog(int nResult) { done(nResult); }

void CZelk_testDlg::setVisible(bool visible) {
  // The window comes into being with its first show: initialise it before it appears.
  if (visible && !window_created_) {
    window_created_ = true;
    OnInitDialog();
  }
  QDialog::setVisible(visible);
}

void CZelk_testDlg::done(int result) {
  QDialog::done(result);
  // The dialog's window ends with the dialog.
  if (window_created_) {
    window_created_ = false;
    OnDestroy();
  }
}

bool CZelk_testDlg::OnInitDialog() {
  UpdateData(false);
  setWindowIcon(m_hIcon);
  if (!bus_loader_ || !bus_loader_()) MessageBox(QString::fromLatin1(kLoadErrorText));
  bus::Register(&m_window, bus::kRegisterValue, bus::kRegisterName);
  m_bPaused = false;
  m_bFlushDue = false;
  m_nRxCount = 0;
  m_nTxCount = 0;
  m_nInterval = 0;  // the box goes on showing its value until the next exchange reads it
  m_editLog.LimitText(static_cast<std::size_t>(frame::kLogTextLimit));
  SetTimer(kFlushTimerId, kFlushPeriodMs);
  // The focus starts on the first visible tab stop, the log.
  if (QWidget* log = GetDlgItem(IDC_LOG)) log->setFocus(Qt::OtherFocusReason);
  return true;
}

// Painting is Qt's: a minimised window is drawn by the window manager from the window icon,
// so there is nothing of our own to paint in either state.
void CZelk_testDlg::OnPaint() {}

QIcon CZelk_testDlg::OnQueryDragIcon() const { return m_hIcon; }

void CZelk_testDlg::OnDestroy() {
  KillTimer(kFlushTimerId);
  KillTimer(kSendTimerId);
  bus::Unregister(&m_window);
  bus::UnloadBus();
}

std::intptr_t CZelk_testDlg::OnBusNotify(std::uintptr_t wParam, std::intptr_t lParam) {
  const frame::ShowRecordContext context{m_nRxCount,    m_nLineNo,   m_bFlushDue,
                                         m_strFilterId, m_nFilterId, m_editLog};
  m_editLog.BeginBatch();
  const std::intptr_t result = bus::OnBusNotify(m_bPaused, wParam, lParam, context);
  m_editLog.EndBatch();
  return result;
}

void CZelk_testDlg::OnBnClickedClear() {
  m_nRxCount = 0;
  m_nTxCount = 0;
  m_editLog.SetSel(0, -1);
  m_editLog.ScrollCaret();
  m_editLog.ReplaceSel("");
  m_nLineNo = 0;
  m_editLog.DiscardRxText();  // a count not shown yet must not come back after the reset
  SetDlgItemText(IDC_RX_COUNT, QStringLiteral("RX:0"));
  SetDlgItemText(IDC_TX_COUNT, QStringLiteral("TX:0"));
}

void CZelk_testDlg::OnBnClickedPause() {
  m_bPaused = !m_bPaused;
  SetDlgItemText(IDC_PAUSE, m_bPaused ? QStringLiteral("Run") : QStringLiteral("Pause"));
}

void CZelk_testDlg::OnTimer(std::uintptr_t nIDEvent) {
  if (nIDEvent == kFlushTimerId) {
    m_bFlushDue = true;
  } else {
    SendFrame();
  }
}

void CZelk_testDlg::OnEnChangeFilterId() {
  UpdateData(true);
  m_nFilterId = frame::ReadHex(m_strFilterId);
}

void CZelk_testDlg::OnBnClickedSend() { SendFrame(); }

void CZelk_testDlg::SendFrame() {
  UpdateData(true);  // a failed exchange still sends whatever the members hold
  const std::string line = m_strSendData;
  const frame::FrameRecord record = frame::EncodeSendLine(line);
  ++m_nTxCount;
  SetDlgItemText(IDC_TX_COUNT, CounterText("TX:", m_nTxCount));
  bus::Post(&m_window, bus::kKindFrames, record.data(), static_cast<std::uint32_t>(record.size()));
}

void CZelk_testDlg::OnBnClickedTimer() {
  UpdateData(true);
  if (m_nInterval == 0) {
    m_bTimerOn = false;
    UpdateData(false);
  }
  QWidget* interval = GetDlgItem(IDC_INTERVAL);
  if (m_bTimerOn) {
    SetTimer(kSendTimerId, m_nInterval);
    interval->setEnabled(false);
  } else {
    KillTimer(kSendTimerId);
    interval->setEnabled(true);
  }
}

void CZelk_testDlg::OnEndSession(bool bEnding) {
  if (bEnding) OnDestroy();
}

bool CZelk_testDlg::OnQueryEndSession() { return true; }

void CZelk_testDlg::OnOK() {
  if (UpdateData(true)) EndDialog(QDialog::Accepted);
}

void CZelk_testDlg::OnCancel() { EndDialog(QDialog::Rejected); }

bool CZelk_testDlg::event(QEvent* e) {
  if (e->type() == BusNotifyEvent::TypeId()) {
    const auto* notify = static_cast<const BusNotifyEvent*>(e);
    OnBusNotify(notify->WParam(), notify->LParam());
    return true;
  }
  return QDialog::event(e);
}

void CZelk_testDlg::keyPressEvent(QKeyEvent* e) {
  const bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
  const bool plain = e->modifiers() == Qt::NoModifier ||
                     (e->modifiers() == Qt::KeypadModifier && e->key() == Qt::Key_Enter);
  if (enter && plain) {
    // A focused visible push button takes Enter; otherwise it goes to the default button,
    // the hidden OK, which still answers it.
    auto* button = qobject_cast<QPushButton*>(focusWidget());
    if (button != nullptr && button->isVisible() && button->isEnabled()) {
      button->click();
    } else if (notify_lockout_ == 0) {
      OnOK();
    }
    e->accept();
    return;
  }
  if (e->matches(QKeySequence::Cancel)) {
    if (notify_lockout_ == 0) OnCancel();
    e->accept();
    return;
  }
  QDialog::keyPressEvent(e);
}

void CZelk_testDlg::paintEvent(QPaintEvent* e) {
  OnPaint();
  QDialog::paintEvent(e);
}

void CZelk_testDlg::timerEvent(QTimerEvent* e) {
  const auto found = std::find(qt_timer_ids_.begin() + 1, qt_timer_ids_.end(), e->timerId());
  if (found == qt_timer_ids_.end()) {
    QDialog::timerEvent(e);
    return;
  }
  OnTimer(static_cast<std::uintptr_t>(found - qt_timer_ids_.begin()));
}

void CZelk_testDlg::BusPost(void* context, std::uint32_t message, std::uintptr_t wparam,
                            std::intptr_t lparam) {
  if (message != bus::WM_BUS_NOTIFY) return;
  QCoreApplication::postEvent(static_cast<CZelk_testDlg*>(context),
                              new BusNotifyEvent(wparam, lparam));
}
