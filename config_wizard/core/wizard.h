// The wizard window's decisions: which section shows, the port checks, and
// what Apply, Ok, Cancel and Restore defaults do. The window mirrors the
// model before and after each call.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <functional>

#include "config_file.h"
#include "config_model.h"
#include "list_editors.h"
#include "setting_rules.h"
#include "wizard_io.h"

namespace kel::wizard {

inline constexpr int kSectionCount = 5;
// A further section beside the five: every other key the daemon reads.
inline constexpr int kAdvancedSection = kSectionCount;
inline constexpr int kPanelCount = kSectionCount + 1;

struct SectionText {
    QString button;
    QString title;
    QString description;
};
const std::array<SectionText, kPanelCount> &section_texts();

enum class PortField { Socks, Http };  // Text3 with Check3, Text5 with Check4

struct WizardPaths {
    QString config_file;   // valdrin.conf, or the one named on the command line
    QString default_file;  // valdrin.conf.default
    QString guide_dir;     // the user's guide, guide/*.html
};

// Where the programs' files lie: beside the programs in the ready-to-run
// folder, in the system's folders when installed.
struct FileLayout {
    bool installed = false;
    QString config_dir;  // /etc/valdrin
    QString data_dir;    // /usr/share/valdrin
};
// The layout this build was made for.
FileLayout built_layout();
// The files the wizard uses; `config_override` (from --config, relative to
// the current folder) replaces the configuration file when not empty.
WizardPaths wizard_paths(const FileLayout &layout, const QString &program_dir, const QString &config_override);

// The window's layout in twips, derived from the section panel's size.
struct WizardGeometry {
    int width = 0, height = 0;
    int buttons_top = 0;
    int apply_left = 0, cancel_left = 0, ok_left = 0;
};
WizardGeometry wizard_geometry(int frame_width, int frame_height);

class Wizard {
public:
    Wizard(ConfigStore &store, MessageBoxes &boxes, Prompter &prompter, WizardPaths paths);

    ConfigModel &model() { return model_; }
    ListEditors &lists() { return lists_; }
    ConfigFile &file() { return file_; }

    // Loads the configuration and shows section 0.
    void open();

    // The panel shown, or -1 when none is.
    int visible_panel() const { return visible_panel_; }
    const QString &title() const { return title_; }
    const QString &description() const { return description_; }
    void select_section(int index);
    // Called after every section change, before anything else is shown.
    void set_section_listener(std::function<void()> listener) { section_listener_ = std::move(listener); }

    // Normalises the field to the number it starts with; reports a port
    // outside 1 to 65535 when its server is enabled.
    void check_port(PortField field);

    // Runs after each save that wrote every key, with the file's path.
    void set_save_listener(std::function<void(const QString &)> listener) { save_listener_ = std::move(listener); }

    // Checks an Advanced field as the daemon reads it; when refused, shows
    // the section and says why. True when the daemon takes the value.
    bool check_setting(const QString &key);
    // The keys whose change since the file was loaded or last saved takes
    // effect only when the daemon starts again.
    QStringList restart_keys_changed() const;
    // Those of the last save, for its listener.
    const QStringList &saved_restart_keys() const { return restart_keys_; }

    // Saves, unless an Advanced field holds a value the daemon refuses.
    SaveResult apply();
    // True when the program should end.
    bool ok();
    bool cancel();
    void restore_defaults();

private:
    ConfigModel model_;
    // The model as last loaded or saved.
    ConfigModel baseline_;
    ConfigFile file_;
    SettingRules rules_;
    ListEditors lists_;
    MessageBoxes &boxes_;
    WizardPaths paths_;
    int panel_count_ = 0;  // panels beyond the first
    int visible_panel_ = 0;
    QString title_;
    QString description_;
    std::function<void()> section_listener_;
    std::function<void(const QString &)> save_listener_;
    QStringList restart_keys_;
};

}  // namespace kel::wizard
