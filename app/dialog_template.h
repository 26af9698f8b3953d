// The monitor dialog's template: control ids, texts, styles, tab order and positions in
// dialog units, and the conversion of dialog units to pixels from the dialog font.
//
// A dialog unit is a quarter of the font's average character width horizontally and an
// eighth of its height vertically; the average width is that of "A..Za..z" over 52,
// rounded, as the Windows dialog manager measures it.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <span>

class QWidget;

namespace app {

inline constexpr int IDD_ZELK_TEST_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_RX_COUNT = 1000;
inline constexpr int IDC_LOG = 1002;
inline constexpr int IDC_CLEAR = 1003;
inline constexpr int IDC_PAUSE = 1004;
inline constexpr int IDC_FILTER_ID = 1006;
inline constexpr int IDC_SEND_DATA = 1008;
inline constexpr int IDC_SEND = 1010;
inline constexpr int IDC_INTERVAL = 1016;
inline constexpr int IDC_TX_COUNT = 1017;
inline constexpr int IDC_TIMER = 1018;

inline constexpr char kDialogCaption[] = "zelk_test";
inline constexpr int kDialogWidthDu = 235;
inline constexpr int kDialogHeightDu = 507;
inline constexpr int kDialogFontPoints = 9;

enum class ControlKind {
  kDefPushButton,
  kPushButton,
  kStatic,
  kEdit,
  kMultiLineEdit,
  kAutoCheckBox
};

// Style bits of a control, as the template gives them.
enum ControlStyle : unsigned {
  kTabStop = 1u << 0,
  kGroup = 1u << 1,
  kHidden = 1u << 2,
  kBorder = 1u << 3,
  kReadOnly = 1u << 4,
  kVScroll = 1u << 5,
  kAutoHScroll = 1u << 6,
  kNumber = 1u << 7,
  kAlignRight = 1u << 8,
};

struct ControlDef {
  int id;
  ControlKind kind;
  const char* text;  // UTF-8
  QRect du;          // x, y, width, height in dialog units
  unsigned style;
};

// The controls in tab order.
std::span<const ControlDef> DialogControls();

// The dialog font: 9 pt SimSun ("宋体") where installed, else a fixed-pitch font at 9 pt
// (DejaVu Sans Mono, or the system's fixed font), so that the log's columns line up.
QFont DialogFont();

// Dialog-unit base of a font, and the conversion to pixels (rounded as MulDiv does).
struct DialogUnits {
  int char_width = 0;   // average character width, pixels
  int char_height = 0;  // character height, pixels
  static DialogUnits ForFont(const QFont& font);
  static DialogUnits FromMetrics(int alphabet_width, int height);
  int X(int du) const;
  int Y(int du) const;
  QRect ToPixels(const QRect& du) const;
};

// Builds the controls of the template as children of dialog (with the dialog font set on
// it first), each carrying its id in the "dlgId" property, in tab order. Sets the caption
// and the fixed client size.
void BuildDialog(QWidget& dialog);

// The child control with this id, or null.
QWidget* FindDlgItem(const QWidget& dialog, int id);

inline constexpr char kDlgIdProperty[] = "dlgId";

}  // namespace app
