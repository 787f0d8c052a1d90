// The standard modal boxes and the browser, as the wizard's core asks for them.
#pragma once

#include <QPointer>

#include "wizard_io.h"

class QWidget;

namespace kel::wizard {

class QtPrompter : public Prompter {
public:
    void set_parent(QWidget *parent) { parent_ = parent; }
    QString ask(const QString &text, const QString &caption, const QString &default_text, Echo echo) override;

private:
    QPointer<QWidget> parent_;
};

class QtMessageBoxes : public MessageBoxes {
public:
    void set_parent(QWidget *parent) { parent_ = parent; }
    Answer show(const QString &text, const QString &caption, Icon icon, Buttons buttons,
                Answer default_button) override;

private:
    QPointer<QWidget> parent_;
};

// Hands a file URL to QDesktopServices, which starts the user's browser.
class DesktopUrlOpener : public UrlOpener {
public:
    void open_file(const QString &path) override;
};

}  // namespace kel::wizard
