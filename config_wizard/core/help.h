// The help window's content and placement, and the guide pages it opens.
#pragma once

#include <QString>

#include <vector>

#include "wizard_io.h"

namespace kel::wizard {

struct HelpTopic {
    QString icon;  // object name of the help icon
    QString item;
    QString page;
    QString text;
};
// Every help icon of the wizard window, in panel order.
const std::vector<HelpTopic> &help_topics();
const HelpTopic *find_help_topic(const QString &icon);

// Twips to logical pixels at 15 twips per pixel (96 dpi). Qt scales logical
// pixels by the screen's device pixel ratio, so the window keeps its physical
// proportions on dense screens.
int twips_to_pixels(int twips);

// Heights and tops (twips) that follow from the help text's height.
struct HelpLayout {
    int window_height = 0;
    int dismiss_top = 0;
    int links_top = 0;
};
inline constexpr int kHelpTextTop = 720;
HelpLayout help_layout(int text_height);

// Where a newly created help window goes: its bottom on the wizard's top
// edge, its centre on the wizard's left edge, never off the top or left.
struct Position {
    int left = 0;
    int top = 0;
};
Position help_window_position(int wizard_left, int wizard_top, int help_width, int help_height);

// The window's state: title, text and the page "Users' Guide" opens.
class HelpContent {
public:
    // `guide_dir` holds the guide's pages.
    HelpContent(UrlOpener &opener, QString guide_dir) : opener_(opener), guide_dir_(std::move(guide_dir)) {}

    void fill(const QString &item, const QString &text, const QString &page);
    const QString &title() const { return title_; }
    const QString &body() const { return body_; }
    const QString &help_page() const { return help_page_; }

    void open_guide();      // the help page
    void open_tutorials();  // typical.html

private:
    UrlOpener &opener_;
    QString guide_dir_;
    QString title_;
    QString body_;
    QString help_page_ = QStringLiteral("guide.html");
};

}  // namespace kel::wizard
