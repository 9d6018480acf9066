#include "Twips.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <vector>

namespace platform
{

int TwipsToPixels(double twips, double dpi)
{
    return int(std::lround(twips * dpi / kTwipsPerInch));
}

double PixelsToTwips(double pixels, double dpi)
{
    return pixels * kTwipsPerInch / dpi;
}

namespace
{
const QScreen *screenOf(const QWidget *widget)
{
    if (widget && widget->screen())
        return widget->screen();
    return QGuiApplication::primaryScreen();
}
} // namespace

double LogicalDpiX(const QWidget *widget)
{
    const QScreen *s = screenOf(widget);
    return s ? s->logicalDotsPerInchX() : 96.0;
}

double LogicalDpiY(const QWidget *widget)
{
    const QScreen *s = screenOf(widget);
    return s ? s->logicalDotsPerInchY() : 96.0;
}

void ApplyLayout(QWidget *window, int clientWidth, int clientHeight,
                 std::initializer_list<ControlPlace> places)
{
    const double dx = LogicalDpiX(window);
    const double dy = LogicalDpiY(window);
    window->setFixedSize(TwipsToPixels(clientWidth, dx), TwipsToPixels(clientHeight, dy));
    std::vector<ControlPlace> order(places);
    for (const ControlPlace &p : order) {
        p.control->setObjectName(QLatin1String(p.name));
        p.control->setGeometry(TwipsToPixels(p.left, dx), TwipsToPixels(p.top, dy),
                               TwipsToPixels(p.width, dx), TwipsToPixels(p.height, dy));
    }
    std::stable_sort(order.begin(), order.end(), [](const ControlPlace &a, const ControlPlace &b) {
        return a.tabIndex < b.tabIndex;
    });
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1].control, order[i].control);
    // The first control that takes the focus gets it when the window becomes active.
    for (const ControlPlace &p : order) {
        if (p.control->focusPolicy() != Qt::NoFocus) {
            p.control->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
}

void ShowFocus(QWidget *window, const QEvent *event)
{
    // Activation clears the cue before the window hears of it.
    if (event->type() == QEvent::WindowActivate)
        window->setAttribute(Qt::WA_KeyboardFocusChange);
}

bool PressFocusedButton(QWidget *window, QKeyEvent *event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    if ((event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
        return false;
    if (auto *button = qobject_cast<QPushButton *>(window->focusWidget());
        button && button->window() == window && button->isEnabled()) {
        button->click();
    }
    return true;
}

} // namespace platform
