#include "ProgressBar.h"

#include <cmath>

namespace platform
{

// Steps of the drawn bar: fine enough for any width a window gives it.
constexpr int kResolution = 10000;

ProgressBar::ProgressBar(QWidget *parent) : QProgressBar(parent)
{
    setTextVisible(false);
    setRange(0, kResolution);
    draw();
}

void ProgressBar::SetMax(float max)
{
    if (!std::isfinite(max) || max <= min_)
        throw PropertyError("Invalid property value: Max");
    max_ = max;
    if (value_ > max_)
        value_ = min_;
    draw();
}

void ProgressBar::SetValue(float value)
{
    if (!std::isfinite(value) || value < min_ || value > max_)
        throw PropertyError("Invalid property value: Value");
    value_ = value;
    draw();
}

void ProgressBar::SetBusy(bool busy)
{
    if (busy == busy_)
        return;
    busy_ = busy;
    // A range of 0..0 is the toolkit's busy bar.
    setRange(0, busy ? 0 : kResolution);
    draw();
}

void ProgressBar::draw()
{
    if (busy_)
        return;
    setValue(int(std::lround(double(value_ - min_) / double(max_ - min_) * kResolution)));
}

} // namespace platform
