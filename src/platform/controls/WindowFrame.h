// What the window manager does with a top-level window, settled before the window shows.
#pragma once

#include <QMargins>
#include <optional>

class QWidget;

namespace platform
{

// The frame the window manager will put around the window (left, top, right, bottom, in the
// widget's pixels), asked for before the window is mapped; creates the native window. None
// when no window manager answers in time; zero margins where windows have no frame.
std::optional<QMargins> FrameExtents(QWidget *window);

// Keeps the window off the taskbar, which no Qt flag does for a dialog; only on X11.
void KeepOffTaskbar(QWidget *window);

} // namespace platform
