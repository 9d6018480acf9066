// The progress bar control: a range Min..Max of single-precision values and a Value in it.
#pragma once

#include <QProgressBar>

#include "PropertyError.h"

namespace platform
{

class ProgressBar : public QProgressBar
{
    Q_OBJECT
public:
    explicit ProgressBar(QWidget *parent = nullptr);

    float Max() const { return max_; }
    float Value() const { return value_; }
    bool Visible() const { return !isHidden(); }

    // A new Max below the current Value is taken, and the Value goes back to Min: a new run
    // starts from an empty bar. A Max not above Min raises PropertyError.
    void SetMax(float max);
    // Raises PropertyError outside Min..Max.
    void SetValue(float value);
    void SetVisible(bool visible) { setVisible(visible); }
    // A busy bar shows that work goes on while its amount is not known; Min, Max and Value
    // keep their values and show again once it is no longer busy.
    void SetBusy(bool busy);
    bool Busy() const { return busy_; }

private:
    float min_ = 0;
    float max_ = 100;
    float value_ = 0;
    bool busy_ = false;

    void draw();
};

} // namespace platform
