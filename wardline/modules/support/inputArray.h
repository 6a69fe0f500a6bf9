#pragma once

#include <QString>

#include <memory>
#include <vector>

// The array of values an input module hands to the engine through getData.
// The engine reads the array through the pointer until its next getData, and
// keeps reading the last pointer while the module reports itself unhealthy
// (it then skips getData). The module and the engine share one thread, so
// the array changes only between engine calls. The rule:
// - values of the same number overwrite the handed-out buffer in place, so
//   the pointer stays the same;
// - a new number of values fills a new buffer; the old one, if the engine
//   holds it, is kept whole (old values, old length) until the next handOut,
//   which gives out the new one.
// So the engine never reads freed memory, and at most two buffers exist.
class inputArray
{
public:
    // What every value reads while greening and while redding.
    void setColouringValues(int goodValue, int alarmValue);
    // Starts (on) or ends greening (1) or redding (2); false when that
    // changes nothing. The values change at the next present().
    bool changeColouring(int mode, bool on);
    // What the engine reads now, for the module's log; `source` names where
    // the values come from when not colouring.
    QString colouringText(const QString &source) const;

    // Presents `source` to the engine, or while colouring the good or alarm
    // value in place of each. Returns how many values changed for the engine
    // (values added or gone count as changed).
    int present(const std::vector<int> &source);
    // What getData gives: false (null, 0) before anything was presented.
    bool handOut(int **data, int *length);

private:
    struct buffer
    {
        std::unique_ptr<int[]> values;
        int length = 0;
    };

    int m_colouring = 0; // 0 none, 1 greening, 2 redding
    int m_goodValue = 0;
    int m_alarmValue = 1;
    buffer m_current;
    buffer m_retired;
    bool m_handedOut = false;
};
