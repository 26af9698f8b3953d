// Data exchange between the dialog's controls and its members, with the framework's rules:
//
// - Load direction (members -> controls): text is written only where it differs, and
//   DDV_MaxChars caps what can be typed into the box exchanged just before it.
// - Save direction (controls -> members): the exchange stops at the first failing control,
//   after showing a message; the controls after it are not read. A text member takes its new
//   text before its length check; a number member keeps its old value when the box holds no
//   number. The failing control gets the focus with its text selected.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

class QWidget;

namespace app {

class LogEdit;

// What the exchange needs from its dialog.
class DataExchangeHost {
 public:
  virtual ~DataExchangeHost() = default;
  virtual QWidget* GetDlgItem(int id) const = 0;
  // A message box with an OK button (validation messages).
  virtual void MessageBox(const QString& text) = 0;
};

class DataExchange {
 public:
  DataExchange(DataExchangeHost& host, bool save_and_validate)
      : m_bSaveAndValidate(save_and_validate), host_(host) {}

  const bool m_bSaveAndValidate;

  bool Failed() const { return failed_; }
  // The control with this id, remembered as the one a later failure or cap refers to.
  QWidget* PrepareCtrl(int id);
  QWidget* LastControl() const { return last_control_; }
  // Shows the message, then marks the exchange failed and focuses the last control.
  void Fail(const QString& message);

 private:
  DataExchangeHost& host_;
  QWidget* last_control_ = nullptr;
  bool failed_ = false;
};

void DDX_Control(DataExchange& dx, int id, LogEdit& control);
void DDX_Text(DataExchange& dx, int id, std::string& value);
void DDX_Text(DataExchange& dx, int id, std::uint32_t& value);
void DDV_MaxChars(DataExchange& dx, const std::string& value, int max_chars);
void DDX_Check(DataExchange& dx, int id, bool& value);

// Reads an unsigned 32-bit decimal number (spaces around it allowed); false when the text
// holds no such number: empty, not digits, or out of range.
bool ParseUnsigned(const QString& text, std::uint32_t& value);

}  // namespace app
