// Window layouts are given in twips (1/1440 inch); these turn them into pixels through the
// screen's logical DPI, so that a layout keeps its physical size at any DPI setting.
#pragma once

#include <initializer_list>

class QEvent;
class QKeyEvent;
class QWidget;

namespace platform
{

inline constexpr double kTwipsPerInch = 1440.0;

// Rounds to the nearest pixel (halves away from zero).
int TwipsToPixels(double twips, double dpi);
double PixelsToTwips(double pixels, double dpi);

// The logical DPI of the screen the widget is on (the primary screen before it has one).
double LogicalDpiX(const QWidget *widget);
double LogicalDpiY(const QWidget *widget);

// One row of a window's layout table: the control's object name, its position and size in
// twips within the client area, and its place in the tab order (0 gets the focus first).
struct ControlPlace {
    QWidget *control;
    const char *name;
    int left;
    int top;
    int width;
    int height;
    int tabIndex;
};

// Gives the window a fixed client area and its controls their names, places and tab order.
void ApplyLayout(QWidget *window, int clientWidth, int clientHeight,
                 std::initializer_list<ControlPlace> places);

// Called from a window's event handler: the control with the focus shows it from the moment
// the window is active, as in the platform's dialogs, not only after a key was pressed.
void ShowFocus(QWidget *window, const QEvent *event);

// Enter or Return presses the focused push button and nothing else; returns whether the key
// was taken. Windows here have no default button, so Enter elsewhere does nothing.
bool PressFocusedButton(QWidget *window, QKeyEvent *event);

} // namespace platform
