// Windows' colours and keys as Qt has them: system colours through the
// application's palette, Qt's keys as virtual-key codes.
#include <QGuiApplication>
#include <QPalette>

#include <map>
#include <utility>

#include "platform/vcl/qt/backend.h"
#include "platform/vcl/qt/native.h"

namespace vcl {

namespace {

// Windows' system colour indexes and the palette entries that stand for them.
// A form's background, clBtnFace, is Qt's Window role: on Windows both are the
// button face.
struct SystemColour {
    unsigned index;
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};
constexpr SystemColour system_colours[] = {
    {5, QPalette::Active, QPalette::Base},              // COLOR_WINDOW
    {8, QPalette::Active, QPalette::WindowText},        // COLOR_WINDOWTEXT
    {13, QPalette::Active, QPalette::Highlight},        // COLOR_HIGHLIGHT
    {14, QPalette::Active, QPalette::HighlightedText},  // COLOR_HIGHLIGHTTEXT
    {15, QPalette::Active, QPalette::Window},           // COLOR_BTNFACE
    {16, QPalette::Active, QPalette::Dark},             // COLOR_BTNSHADOW
    {17, QPalette::Disabled, QPalette::Text},           // COLOR_GRAYTEXT
    {18, QPalette::Active, QPalette::ButtonText},       // COLOR_BTNTEXT
    {20, QPalette::Active, QPalette::Light},            // COLOR_BTNHIGHLIGHT
    {21, QPalette::Active, QPalette::Shadow},           // COLOR_3DDKSHADOW
    {22, QPalette::Active, QPalette::Midlight},         // COLOR_3DLIGHT
    {23, QPalette::Active, QPalette::ToolTipText},      // COLOR_INFOTEXT
    {24, QPalette::Active, QPalette::ToolTipBase},      // COLOR_INFOBK
};

}  // namespace

QColor qt::to_qcolor(TColor color) {
    if ((color & 0xFF000000u) != 0) {
        for (const SystemColour& system : system_colours) {
            if (system.index == (color & 0xFFu)) {
                return QGuiApplication::palette().color(system.group, system.role);
            }
        }
        return QColor(Qt::black);
    }
    return QColor(static_cast<int>(color & 0xFFu), static_cast<int>((color >> 8) & 0xFFu),
                  static_cast<int>((color >> 16) & 0xFFu));
}

TColor qt::from_qcolor(QColor color) {
    const QRgb rgb = color.rgb();
    return static_cast<TColor>(qRed(rgb)) | static_cast<TColor>(qGreen(rgb)) << 8 |
           static_cast<TColor>(qBlue(rgb)) << 16;
}

namespace qt {

WORD virtual_key(int key) {
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return static_cast<WORD>(VK_F1 + (key - Qt::Key_F1));
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return static_cast<WORD>(key);  // 'A'..'Z', '0'..'9', as in Windows
    static const std::map<int, WORD> others = {
        {Qt::Key_Backspace, VK_BACK}, {Qt::Key_Tab, VK_TAB},       {Qt::Key_Backtab, VK_TAB},
        {Qt::Key_Return, VK_RETURN},  {Qt::Key_Enter, VK_RETURN},  {Qt::Key_Escape, VK_ESCAPE},
        {Qt::Key_Space, VK_SPACE},    {Qt::Key_PageUp, VK_PRIOR},  {Qt::Key_PageDown, VK_NEXT},
        {Qt::Key_End, VK_END},        {Qt::Key_Home, VK_HOME},     {Qt::Key_Left, VK_LEFT},
        {Qt::Key_Up, VK_UP},          {Qt::Key_Right, VK_RIGHT},   {Qt::Key_Down, VK_DOWN},
        {Qt::Key_Insert, VK_INSERT},  {Qt::Key_Delete, VK_DELETE},
    };
    const auto found = others.find(key);
    return found != others.end() ? found->second : 0;
}

TShiftState shift_state(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) {
    static constexpr std::pair<int, TShiftState> keys[] = {
        {Qt::ShiftModifier, ssShift}, {Qt::AltModifier, ssAlt}, {Qt::ControlModifier, ssCtrl}};
    static constexpr std::pair<int, TShiftState> mouse[] = {
        {Qt::LeftButton, ssLeft}, {Qt::RightButton, ssRight}, {Qt::MiddleButton, ssMiddle}};
    TShiftState shift = 0;
    for (const auto& [flag, state] : keys)
        shift |= (modifiers & flag) != 0 ? state : 0;
    for (const auto& [flag, state] : mouse)
        shift |= (buttons & flag) != 0 ? state : 0;
    return shift;
}

}  // namespace qt

}  // namespace vcl
