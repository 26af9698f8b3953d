// Data exchange rules: first failure stops the exchange, texts are taken before their
// length check, a number keeps its old value when the box holds none, caps in the load
// direction, and the failing box takes the focus.
#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>
#include <map>

#include "app/data_exchange.h"

namespace {

// A dialog-like host with three boxes and a check box, recording its messages.
class Host : public QWidget, public app::DataExchangeHost {
 public:
  Host() {
    items_[1] = &text_;
    items_[2] = &number_;
    items_[3] = &check_;
    for (auto& [id, widget] : items_) widget->setParent(this);
  }
  QWidget* GetDlgItem(int id) const override {
    const auto found = items_.find(id);
    return found == items_.end() ? nullptr : found->second;
  }
  void MessageBox(const QString& text) override { messages.append(text); }

  QStringList messages;
  QLineEdit text_;
  QLineEdit number_;
  QCheckBox check_;

 private:
  std::map<int, QWidget*> items_;
};

struct Members {
  std::string text = "old";
  std::uint32_t number = 77;
  bool check = false;
};

// The exchange order of the monitor: a capped text, a number, a check box.
bool Exchange(Host& host, Members& m, bool save, int cap = 4) {
  app::DataExchange dx(host, save);
  app::DDX_Text(dx, 1, m.text);
  app::DDV_MaxChars(dx, m.text, cap);
  app::DDX_Text(dx, 2, m.number);
  app::DDX_Check(dx, 3, m.check);
  return !dx.Failed();
}

}  // namespace

class DataExchangeTest : public QObject {
  Q_OBJECT

 private slots:
  void the_first_failing_control_stops_the_exchange_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("box");
    QTest::addColumn<quint32>("value");
    QTest::addColumn<QString>("message");  // empty: the exchange succeeds
    const auto row = [](const char* name, const char* text, const char* box, quint32 value,
                        const char* message = "") {
      QTest::newRow(name) << QString(text) << QString(box) << value << QString(message);
    };
    const char* no_number = "Please enter an unsigned integer.";
    row("number", "new", "250", 250u);
    row("spaces around", "new", " 12 ", 12u);
    row("zero", "new", "0", 0u);
    row("largest", "new", "4294967295", 4294967295u);
    // A box without a number keeps the old value.
    row("empty", "new", "", 77u, no_number);
    row("letters", "new", "12a", 77u, no_number);
    row("sign", "new", "-1", 77u, no_number);
    row("too large", "new", "4294967296", 77u, no_number);
    // A text takes its new value before its length check fails; the number is not read.
    row("text too long", "toolong", "5", 77u, "Please enter no more than 4 characters.");
  }
  void the_first_failing_control_stops_the_exchange() {
    QFETCH(QString, text);
    QFETCH(QString, box);
    QFETCH(quint32, value);
    QFETCH(QString, message);
    Host host;
    Members m;
    host.text_.setText(text);
    host.number_.setText(box);
    host.check_.setChecked(true);
    QCOMPARE(Exchange(host, m, true), message.isEmpty());
    QCOMPARE(m.text, text.toStdString());  // before the failing control: taken over
    QCOMPARE(m.number, value);
    QCOMPARE(m.check, message.isEmpty());  // after it: not read
    QCOMPARE(host.messages, message.isEmpty() ? QStringList() : QStringList{message});
  }

  void the_failing_box_takes_the_focus_with_its_text_selected() {
    Host host;
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    Members m;
    host.number_.setText("x1");
    host.text_.setFocus();
    QVERIFY(!Exchange(host, m, true));
    QTRY_COMPARE(host.focusWidget(), &host.number_);
    QCOMPARE(host.number_.selectedText(), QStringLiteral("x1"));
  }

  void the_load_direction_writes_the_boxes_and_caps_typing() {
    Host host;
    Members m;
    m.text = "ab";
    m.number = 200;
    m.check = true;
    QSignalSpy changed(&host.text_, &QLineEdit::textChanged);
    QVERIFY(Exchange(host, m, false));
    QCOMPARE(host.text_.text(), QStringLiteral("ab"));
    QCOMPARE(host.number_.text(), QStringLiteral("200"));
    QVERIFY(host.check_.isChecked());
    QCOMPARE(host.text_.maxLength(), 4);
    QCOMPARE(changed.count(), 1);
    // An unchanged box is not written again, so it raises no change.
    QVERIFY(Exchange(host, m, false));
    QCOMPARE(changed.count(), 1);
    host.text_.setFocus();
    QTest::keyClicks(&host.text_, QStringLiteral("cdef"));
    QCOMPARE(host.text_.text(), QStringLiteral("abcd"));
  }
};

QTEST_MAIN(DataExchangeTest)
#include "data_exchange_test.moc"
