#include "wizard.h"

#include <QDir>
#include <QFileInfo>

#include "config_keys.h"
#include "kelplat/layout.h"
#include "more_settings.h"
#include "numbers.h"

namespace kel::wizard {

const std::array<SectionText, kPanelCount> &section_texts() {
    static const std::array<SectionText, kPanelCount> texts = {{
        {QStringLiteral("&Main Configuration"), QStringLiteral("Main configuration"),
         QStringLiteral("This section describes the general behaviour of Valdrin Proxy Server.")},
        {QStringLiteral("&SOCKS Server"), QStringLiteral("SOCKS server configuration"),
         QStringLiteral("This section describes the behaviour of the SOCKS server.")},
        {QStringLiteral("&HTTP/FTP Proxy"), QStringLiteral("HTTP/FTP Proxy server configuration"),
         QStringLiteral("This section describes the behaviour of the HTTP and FTP through HTTP Proxy server.")},
        {QStringLiteral("&DNS Proxy"), QStringLiteral("DNS Proxy server configuration"),
         QStringLiteral("This section describes the behaviour of the DNS Proxy server.")},
        {QStringLiteral("&Port Redirector"), QStringLiteral("Port redirector server configuration"),
         QStringLiteral("This section describes the behaviour of the port redirector server.")},
        {QStringLiteral("A&dvanced"), QStringLiteral("Advanced configuration"),
         QStringLiteral("This section describes the addresses, limits and lists of every server.")},
    }};
    return texts;
}

FileLayout built_layout() {
    return {kel::layout::kInstalled, QString::fromUtf8(kel::layout::kConfigDir), QString::fromUtf8(kel::layout::kDataDir)};
}

WizardPaths wizard_paths(const FileLayout &layout, const QString &program_dir, const QString &config_override) {
    const QDir config(layout.installed ? layout.config_dir : program_dir);
    const QDir data(layout.installed ? layout.data_dir : program_dir);
    return {config_override.isEmpty() ? config.filePath(QStringLiteral("valdrin.conf"))
                                      : QDir::current().absoluteFilePath(config_override),
            data.filePath(QStringLiteral("valdrin.conf.default")), data.filePath(QStringLiteral("guide"))};
}

WizardGeometry wizard_geometry(int frame_width, int frame_height) {
    WizardGeometry g;
    g.width = frame_width + 2125;
    g.height = frame_height + 1860;
    g.buttons_top = g.height - 825;
    g.apply_left = g.width - 1320;
    g.cancel_left = g.width - 2580;
    g.ok_left = g.width - 3840;
    return g;
}

namespace {

// Relative names in the file are taken from its folder.
QString folder_of(const QString &file) { return file.isEmpty() ? QString() : QFileInfo(file).absolutePath(); }

}  // namespace

Wizard::Wizard(ConfigStore &store, MessageBoxes &boxes, Prompter &prompter, WizardPaths paths)
    : file_(store, boxes),
      rules_(folder_of(paths.config_file)),
      lists_(model_, prompter, boxes, rules_),
      boxes_(boxes),
      paths_(std::move(paths)) {}

void Wizard::open() {
    file_.LoadConfig(paths_.config_file, model_);
    baseline_ = model_;
    panel_count_ = kPanelCount - 1;
    select_section(0);
}

void Wizard::select_section(int index) {
    visible_panel_ = index >= 0 && index <= panel_count_ ? index : -1;
    if (index >= 0 && index < kPanelCount) {
        title_ = section_texts()[static_cast<size_t>(index)].title;
        description_ = section_texts()[static_cast<size_t>(index)].description;
    }
    if (section_listener_) section_listener_();
}

void Wizard::check_port(PortField field) {
    const bool socks = field == PortField::Socks;
    QString &text = socks ? model_.text3 : model_.text5;
    const double port = parse_number(text);
    text = format_number(port);
    if (!(socks ? model_.check3 : model_.check4)) return;
    if (is_valid_port(port)) return;
    select_section(socks ? 1 : 2);
    boxes_.show(QStringLiteral("Unless you specify a valid port number, the %1 server will not function properly.\n"
                               "Valid port numbers range from 1 to 65535 inclusive.")
                    .arg(socks ? QStringLiteral("SOCKS") : QStringLiteral("HTTP/FTP")),
                QStringLiteral("Invalid port number"), Icon::Exclamation);
}

bool Wizard::check_setting(const QString &key) {
    const MoreSetting *setting = find_more_setting(key);
    if (setting == nullptr || setting->kind != SettingKind::Text) return true;
    const QString why = rules_.refusal(setting->section, setting->key, model_.more.value(setting->key));
    if (why.isEmpty()) return true;
    select_section(kAdvancedSection);
    boxes_.show(QStringLiteral("The proxy server would not accept this value:\n%1").arg(why), setting->key,
                Icon::Exclamation);
    return false;
}

QStringList Wizard::restart_keys_changed() const {
    const ConfigModel &a = baseline_, &b = model_;
    QStringList keys;
    auto note = [&](bool changed, const char *key) {
        if (changed) keys << QLatin1String(key);
    };
    note(a.check4 != b.check4, "HTTPEnabled");
    note(a.text5 != b.text5, "HTTPPort");
    note(a.check3 != b.check3, "SocksEnabled");
    note(a.text3 != b.text3, "SocksPort");
    note(a.check6 != b.check6, "DNSEnabled");
    for (const MoreSetting &setting : more_settings()) {
        const valdrin::keys::Key *entry = table_key(setting);
        if (entry != nullptr && entry->applies == valdrin::keys::Applies::kRestart &&
            a.more.value(setting.key) != b.more.value(setting.key))
            keys << setting.key;
    }
    return keys;
}

SaveResult Wizard::apply() {
    for (const MoreSetting &setting : more_settings())
        if (!check_setting(setting.key)) return SaveResult::Refused;
    const QStringList restart_keys = restart_keys_changed();
    const SaveResult result = file_.SaveConfig(paths_.config_file, model_);
    if (result != SaveResult::Saved || file_.write_failed()) return result;
    // What is on disk now; loading again would only repeat it.
    model_.more_loaded = model_.more;
    model_.list4_loaded = model_.list4;
    baseline_ = model_;
    restart_keys_ = restart_keys;
    if (save_listener_) save_listener_(paths_.config_file);
    return result;
}

bool Wizard::ok() {
    // A save that stopped part-way, for whatever reason, keeps the window
    // open so that the edits are not lost.
    return apply() == SaveResult::Saved && !file_.write_failed();
}

bool Wizard::cancel() {
    return boxes_.show(QStringLiteral("Quit without saving changes to the configuration file ?"),
                       QStringLiteral("Quit"), Icon::Question, Buttons::YesNo, Answer::No) == Answer::Yes;
}

void Wizard::restore_defaults() {
    if (boxes_.show(QStringLiteral("Are you sure that you want to restore the configuration to its default value ?"),
                    QStringLiteral("Restore defaults"), Icon::Question, Buttons::YesNo,
                    Answer::Yes) != Answer::Yes)
        return;
    if (file_.restore_defaults(paths_.default_file, paths_.config_file, model_)) baseline_ = model_;
}

}  // namespace kel::wizard
