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
  void a_box_without_a_number_keeps_the_old_value_and_stops_the_exchange_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint32>("value");
    QTest::newRow("number") << "250" << true << 250u;
    QTest::newRow("spaces around") << " 12 " << true << 12u;
    QTest::newRow("zero") << "0" << true << 0u;
    QTest::newRow("largest") << "4294967295" << true << 4294967295u;
    QTest::newRow("empty") << "" << false << 77u;
    QTest::newRow("letters") << "12a" << false << 77u;
    QTest::newRow("sign") << "-1" << false << 77u;
    QTest::newRow("too large") << "4294967296" << false << 77u;
  }
  void a_box_without_a_number_keeps_the_old_value_and_stops_the_exchange() {
    QFETCH(QString, box);
    QFETCH(bool, ok);
    QFETCH(quint32, value);
    Host host;
    Members m;
    host.text_.setText("new");
    host.number_.setText(box);
    host.check_.setChecked(true);
    QCOMPARE(Exchange(host, m, true), ok);
    QCOMPARE(m.number, value);
    QCOMPARE(m.text, std::string("new"));  // before the failing control: taken over
    QCOMPARE(m.check, ok);                 // after it: not read
    QCOMPARE(host.messages.size(), ok ? 0 : 1);
  }

  void a_text_takes_its_new_value_before_the_length_check_fails() {
    Host host;
    Members m;
    host.text_.setText("toolong");
    host.number_.setText("5");
    QVERIFY(!Exchange(host, m, true));
    QCOMPARE(m.text, std::string("toolong"));
    QCOMPARE(m.number, 77u);
    QCOMPARE(host.messages, QStringList{QStringLiteral("Please enter no more than 4 characters.")});
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
