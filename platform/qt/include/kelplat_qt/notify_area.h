// The notification area: one icon per program, added and removed whole.
// Add while the icon is present is refused and changes nothing; remove
// takes it away. There is no change in place: a new picture or tip is a
// remove followed by an add.
#pragma once

#include <QString>
#include <QtGlobal>

namespace kel::qtplat {

// Flags of a record: which of its fields count.
inline constexpr unsigned kNotifyMessage = 1;  // mouse messages are delivered
inline constexpr unsigned kNotifyIcon = 2;     // `icon` is shown
inline constexpr unsigned kNotifyTip = 4;      // `tip` is the tool tip

// Mouse messages reported for the icon.
inline constexpr unsigned kLeftButtonDown = 513;
inline constexpr unsigned kLeftButtonUp = 514;
inline constexpr unsigned kLeftButtonDoubleClick = 515;
inline constexpr unsigned kRightButtonDown = 516;
inline constexpr unsigned kRightButtonUp = 517;
inline constexpr unsigned kRightButtonDoubleClick = 518;
inline constexpr unsigned kMiddleButtonDown = 519;
inline constexpr unsigned kMiddleButtonUp = 520;

// The longest tip, in characters; longer tips are cut. Room for the
// status and where each service listens, or why that is not known.
inline constexpr int kMaxTipChars = 255;

struct NotifyIconData {
    quintptr window = 0;            // the owner that receives the mouse messages
    unsigned id = 0;                // the icon's number within its owner
    unsigned flags = 0;
    unsigned callback_message = 0;  // reported with each mouse message
    int icon = 0;                   // a picture number registered with the area
    QString tip;

    friend bool operator==(const NotifyIconData &, const NotifyIconData &) = default;
};

class NotifyArea {
public:
    virtual ~NotifyArea() = default;
    // False, and nothing changes, when the icon is already present.
    virtual bool add(const NotifyIconData &record) = 0;
    // False when no icon with the record's owner and number is present.
    virtual bool remove(const NotifyIconData &record) = 0;
};

}  // namespace kel::qtplat
