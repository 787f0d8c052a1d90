// The wizard's main window. It lays out the controls, mirrors the model and
// forwards every event to the core; it decides nothing itself.
#pragma once

#include <QPointer>
#include <QWidget>

#include <array>
#include <map>
#include <memory>

#include "help.h"
#include "wizard.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace kel::wizard {

class WizHelp;

class VBConfig : public QWidget {
    Q_OBJECT
public:
    // `guide_dir` holds the user's guide that the help window opens.
    VBConfig(Wizard &wizard, UrlOpener &opener, const QString &guide_dir, QWidget *parent = nullptr);
    ~VBConfig() override;

    // Loads the configuration, shows section 0 and centres the window.
    void open();

    // The help window, when one exists.
    WizHelp *help_window() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void build();
    QFrame *build_panel(int index);
    // The Advanced panel: its settings in groups, built with layouts.
    QFrame *build_advanced_panel();
    QWidget *help_button(QWidget *parent, const QString &icon);
    void add_row(QWidget *panel, int y, const QString &label, int label_width, QWidget *control, int width,
                 int height, const char *help_icon);

    void to_model();
    void from_model();
    void show_section();
    void check_port(PortField field);
    void check_setting(const QString &key);
    void show_help(const QString &icon);
    void quit();
    // Runs a list operation on the model and shows its outcome.
    template <class Op>
    void edit_list(Op op);

    Wizard &wizard_;
    HelpContent help_content_;
    QPointer<WizHelp> help_;
    bool checking_port_ = false;

    std::array<QFrame *, kPanelCount> frames_{};
    QLabel *label14_ = nullptr;
    QLabel *label15_ = nullptr;
    QLineEdit *text1_ = nullptr, *text2_ = nullptr, *text3_ = nullptr, *text5_ = nullptr, *text6_ = nullptr,
              *text8_ = nullptr;
    QCheckBox *check1_ = nullptr, *check3_ = nullptr, *check4_ = nullptr, *check5_ = nullptr, *check6_ = nullptr,
              *check7_ = nullptr, *check8_ = nullptr, *check9_ = nullptr;
    QListWidget *list1_ = nullptr, *list2_ = nullptr, *list3_ = nullptr;
    // Advanced, by key.
    std::map<QString, QLineEdit *> more_texts_;
    std::map<QString, QCheckBox *> more_checks_;
    QListWidget *list4_ = nullptr;
};

}  // namespace kel::wizard
