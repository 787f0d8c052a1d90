// The modeless help window: a setting's name, its help text and two links
// into the user's guide.
#pragma once

#include <QLabel>
#include <QWidget>

#include "help.h"

class QPushButton;

namespace kel::wizard {

// A label drawn as a link that reports a click.
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    LinkLabel(const QString &text, QWidget *parent);
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

class WizHelp : public QWidget {
    Q_OBJECT
public:
    // Closing it by its close box destroys it; Dismiss only hides it.
    WizHelp(HelpContent &content, QWidget *parent);

    // Shows the content's current title and text and sizes the window to them.
    void refill();

private:
    HelpContent &content_;
    QLabel *label1_ = nullptr;
    QLabel *label2_ = nullptr;
    LinkLabel *label3_ = nullptr;
    LinkLabel *label4_ = nullptr;
    QPushButton *command1_ = nullptr;
};

}  // namespace kel::wizard
