#include "vbconfig.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "more_settings.h"
#include "wizhelp.h"

// Resources of a static library must be registered by hand.
static void init_wizard_resources() { Q_INIT_RESOURCE(wizard); }

namespace kel::wizard {
namespace {

// Section panel, the window's reference size.
constexpr int kFrameLeft = 1980, kFrameTop = 900, kFrameWidth = 6795, kFrameHeight = 3795;
// The window sizes count the frame and caption; the client area is the rest.
constexpr int kBorderTwips = 90, kCaptionTwips = 360;

QRect twips_rect(int x, int y, int w, int h) {
    return QRect(twips_to_pixels(x), twips_to_pixels(y), twips_to_pixels(w), twips_to_pixels(h));
}

void place(QWidget *w, int x, int y, int width, int height) { w->setGeometry(twips_rect(x, y, width, height)); }

// The layout is measured for a small dialog font.
QFont dialog_font() {
    QFont f = QApplication::font();
    f.setPointSize(8);
    return f;
}

QFont fixed_font() {
    QFont f(QStringLiteral("Courier New"));
    f.setStyleHint(QFont::TypeWriter);
    f.setPointSize(9);
    return f;
}

QPushButton *button(QWidget *parent, const char *name, const QString &caption) {
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    return b;
}

Selection selected_rows(const QListWidget *list) {
    Selection rows;
    for (const QListWidgetItem *item : list->selectedItems()) rows.push_back(list->row(item));
    return rows;
}

void fill_list(QListWidget *list, const QStringList &lines) {
    list->clear();
    list->addItems(lines);
}

}  // namespace

VBConfig::VBConfig(Wizard &wizard, UrlOpener &opener, const QString &guide_dir, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      wizard_(wizard),
      help_content_(opener, guide_dir) {
    init_wizard_resources();
    setObjectName(QStringLiteral("VBConfig"));
    setWindowTitle(tr("Valdrin Proxy Server - Configuration Wizard"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/wizard.png")));
    build();
    wizard_.set_section_listener([this] { show_section(); });
}

VBConfig::~VBConfig() {
    wizard_.set_section_listener(nullptr);
    delete help_.data();
}

void VBConfig::build() {
    setFont(dialog_font());
    const WizardGeometry g = wizard_geometry(kFrameWidth, kFrameHeight);
    setFixedSize(twips_to_pixels(g.width - kBorderTwips), twips_to_pixels(g.height - kCaptionTwips));

    auto *band = new QLabel(this);
    band->setObjectName(QStringLiteral("HeaderBand"));
    band->setPixmap(QPixmap(QStringLiteral(":/icons/band.png")));
    band->setScaledContents(true);
    place(band, 0, 0, 9375, 855);
    auto *icon = new QLabel(band);
    icon->setObjectName(QStringLiteral("HeaderIcon"));
    icon->setPixmap(QPixmap(QStringLiteral(":/icons/header.png")));
    icon->setScaledContents(true);
    place(icon, 10, 10, 825, 825);
    label14_ = new QLabel(band);
    label14_->setObjectName(QStringLiteral("Label14"));
    QFont title_font = label14_->font();
    title_font.setBold(true);
    title_font.setPointSizeF(title_font.pointSizeF() * 1.25);
    label14_->setFont(title_font);
    place(label14_, 1140, 120, 7000, 300);
    label15_ = new QLabel(band);
    label15_->setObjectName(QStringLiteral("Label15"));
    label15_->setWordWrap(true);
    place(label15_, 1500, 420, 4935 + 1800, 420);
    auto *rule = new QFrame(this);
    rule->setObjectName(QStringLiteral("HeaderRule"));
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    place(rule, 0, 815, 9375, 30);

    static const int kButtonTops[kPanelCount] = {1260, 1800, 2340, 2880, 3420, 3960};
    for (int i = 0; i < kPanelCount; ++i) {
        auto *b = new QPushButton(section_texts()[static_cast<size_t>(i)].button, this);
        b->setObjectName(QStringLiteral("Command6(%1)").arg(i));
        place(b, 180, kButtonTops[i], 1635, 375);
        connect(b, &QPushButton::clicked, this, [this, i] {
            to_model();
            wizard_.select_section(i);
        });
        frames_[static_cast<size_t>(i)] = i == kAdvancedSection ? build_advanced_panel() : build_panel(i);
    }
    // On the row of Ok, Cancel and Apply, below the further section's button.
    auto *restore = button(this, "Command14", tr("Restore defaults"));
    restore->setToolTip(tr("Configure Valdrin Proxy Server in a few steps"));
    place(restore, 180, g.buttons_top, 1635, 375);
    connect(restore, &QPushButton::clicked, this, [this] {
        to_model();
        wizard_.restore_defaults();
        from_model();
    });

    auto *ok = button(this, "Command3", tr("&Ok"));
    ok->setToolTip(tr("Update the configuration and quit"));
    place(ok, g.ok_left, g.buttons_top, 1155, 375);
    connect(ok, &QPushButton::clicked, this, [this] {
        to_model();
        if (wizard_.ok()) quit();
    });
    auto *cancel = button(this, "Command2", tr("&Cancel"));
    cancel->setToolTip(tr("Quit without updating the configuration"));
    place(cancel, g.cancel_left, g.buttons_top, 1155, 375);
    connect(cancel, &QPushButton::clicked, this, [this] {
        if (wizard_.cancel()) quit();
    });
    auto *apply = button(this, "Command1", tr("&Apply"));
    apply->setToolTip(tr("Update the configuration but do not quit"));
    place(apply, g.apply_left, g.buttons_top, 1155, 375);
    connect(apply, &QPushButton::clicked, this, [this] {
        to_model();
        wizard_.apply();
    });
}

QWidget *VBConfig::help_button(QWidget *parent, const QString &icon) {
    auto *help = new QToolButton(parent);
    help->setObjectName(icon);
    help->setIcon(QIcon(QStringLiteral(":/icons/help.png")));
    help->setAutoRaise(true);
    help->setFocusPolicy(Qt::NoFocus);
    help->setCursor(Qt::PointingHandCursor);
    help->setFixedSize(twips_to_pixels(300), twips_to_pixels(300));
    help->setIconSize(help->size());
    connect(help, &QToolButton::clicked, this, [this, icon] { show_help(icon); });
    return help;
}

void VBConfig::add_row(QWidget *panel, int y, const QString &label, int label_width, QWidget *control, int width,
                       int height, const char *help_icon) {
    auto *caption = new QLabel(label, panel);
    place(caption, 120, y + 30, label_width, 255);
    place(control, 1800, y, width, height);
    if (!help_icon) return;
    place(help_button(panel, QLatin1String(help_icon)), 6360, y, 300, 300);
}

QFrame *VBConfig::build_advanced_panel() {
    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("ConfigFrame(%1)").arg(kAdvancedSection));
    place(panel, kFrameLeft, kFrameTop, kFrameWidth, kFrameHeight);
    auto *scroll = new QScrollArea(panel);
    scroll->setObjectName(QStringLiteral("AdvancedScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    // Tab goes from the section's button to its first field; the area
    // follows the focus as it moves down.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setGeometry(0, 0, twips_to_pixels(kFrameWidth), twips_to_pixels(kFrameHeight));
    auto *content = new QWidget(scroll);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(twips_to_pixels(120), 0, twips_to_pixels(120), twips_to_pixels(120));

    // One label width for every group, so that the fields line up.
    int label_width = 0;
    for (const MoreSetting &setting : more_settings())
        label_width = std::max(label_width, content->fontMetrics().horizontalAdvance(setting.label));
    QGroupBox *group = nullptr;
    QGridLayout *grid = nullptr;
    for (const MoreSetting &setting : more_settings()) {
        if (group == nullptr || group->title() != setting.group) {
            group = new QGroupBox(setting.group, content);
            grid = new QGridLayout(group);
            grid->setColumnStretch(1, 1);
            column->addWidget(group);
        }
        const int row = grid->rowCount();
        auto *label = new QLabel(setting.label, group);
        label->setMinimumWidth(label_width);
        grid->addWidget(label, row, 0, Qt::AlignLeft | Qt::AlignTop);
        grid->addWidget(help_button(group, setting.help_icon), row, 2, Qt::AlignTop);
        const QString key = setting.key;
        switch (setting.kind) {
        case SettingKind::Text: {
            auto *field = new QLineEdit(group);
            field->setObjectName(setting.control);
            field->setFont(fixed_font());
            grid->addWidget(field, row, 1);
            more_texts_[key] = field;
            connect(field, &QLineEdit::editingFinished, this, [this, key] { check_setting(key); });
            break;
        }
        case SettingKind::Check: {
            auto *box = new QCheckBox(setting.caption, group);
            box->setObjectName(setting.control);
            grid->addWidget(box, row, 1);
            more_checks_[key] = box;
            break;
        }
        case SettingKind::List: {
            auto *cell = new QWidget(group);
            auto *stack = new QVBoxLayout(cell);
            stack->setContentsMargins(0, 0, 0, 0);
            list4_ = new QListWidget(cell);
            list4_->setObjectName(setting.control);
            list4_->setSelectionMode(QAbstractItemView::ExtendedSelection);
            list4_->setFont(fixed_font());
            list4_->setFixedHeight(twips_to_pixels(1200));
            list4_->installEventFilter(this);
            stack->addWidget(list4_);
            auto *buttons = new QHBoxLayout();
            auto add = [&](const char *name, const QString &caption) {
                auto *b = button(cell, name, caption);
                // The three share the field's width, as wide as it allows.
                b->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
                b->setFixedHeight(twips_to_pixels(315));
                b->setMaximumWidth(twips_to_pixels(1335));
                buttons->addWidget(b, 1);
                return b;
            };
            connect(add("Command15", tr("&Edit entry")), &QPushButton::clicked, this,
                    [this] { edit_list([this] { wizard_.lists().edit_list_file(selected_rows(list4_)); }); });
            connect(add("Command16", tr("&Delete entry")), &QPushButton::clicked, this,
                    [this] { edit_list([this] { wizard_.lists().delete_list_files(selected_rows(list4_)); }); });
            connect(add("Command17", tr("&Add entry")), &QPushButton::clicked, this,
                    [this] { edit_list([this] { wizard_.lists().add_list_file(); }); });
            connect(list4_, &QListWidget::itemDoubleClicked, this,
                    [this] { edit_list([this] { wizard_.lists().edit_list_file(selected_rows(list4_)); }); });
            stack->addLayout(buttons);
            grid->addWidget(cell, row, 1);
            break;
        }
        }
    }
    column->addStretch(1);
    scroll->setWidget(content);
    return panel;
}

QFrame *VBConfig::build_panel(int index) {
    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("ConfigFrame(%1)").arg(index));
    place(panel, kFrameLeft, kFrameTop, kFrameWidth, kFrameHeight);

    auto text_field = [&](QLineEdit *&field, const char *name) {
        field = new QLineEdit(panel);
        field->setObjectName(QLatin1String(name));
        field->setFont(fixed_font());
        return field;
    };
    auto check_box = [&](QCheckBox *&box, const char *name, const QString &caption) {
        box = new QCheckBox(caption, panel);
        box->setObjectName(QLatin1String(name));
        return box;
    };
    auto list_box = [&](QListWidget *&list, const char *name, bool fixed_pitch) {
        list = new QListWidget(panel);
        list->setObjectName(QLatin1String(name));
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
        if (fixed_pitch) list->setFont(fixed_font());
        list->installEventFilter(this);
        return list;
    };
    auto list_button = [&](const char *name, const QString &caption, int x, int y) {
        auto *b = button(panel, name, caption);
        place(b, x, y, 1335, 315);
        return b;
    };
    constexpr int kShort = 1455, kLong = 1575, kField = 4455, kCheck = 4275, kFieldH = 285, kCheckH = 255;

    switch (index) {
    case 0: {
        add_row(panel, 300, tr("LogFile :"), kShort, text_field(text1_, "Text1"), kField, kFieldH, "Picture1");
        add_row(panel, 720, tr("ErrFile :"), kShort, text_field(text2_, "Text2"), kField, kFieldH, "Picture2");
        add_row(panel, 1140, tr("AllowedHosts :"), kShort, list_box(list1_, "List1", true), kField, 1500,
                "Picture3");
        connect(list_button("Command5", tr("&Delete entry"), 3540, 2760), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().delete_allowed_hosts(selected_rows(list1_)); }); });
        connect(list_button("Command4", tr("&Add entry"), 4920, 2760), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().add_allowed_host(); }); });
        add_row(panel, 3240, tr("Verbose :"), kShort, check_box(check1_, "Check1", tr("Popup verbose messages")),
                kCheck, kCheckH, "Picture13");
        break;
    }
    case 1: {
        add_row(panel, 300, tr("SOCKSEnabled :"), kShort, check_box(check3_, "Check3", tr("SOCKS Server enabled")),
                kCheck, kCheckH, "Picture7");
        add_row(panel, 720, tr("SOCKSPort :"), kShort, text_field(text3_, "Text3"), kField, kFieldH, "Picture6");
        add_row(panel, 1140, tr("SOCKS4Allowed :"), kLong,
                check_box(check9_, "Check9", tr("SOCKS 4 protocol allowed")), kCheck, kCheckH, "Picture20");
        add_row(panel, 1560, tr("SOCKSAccounts :"), kLong, list_box(list2_, "List2", false), kField, 1620,
                "Picture4");
        connect(list_button("Command9", tr("&Edit entry"), 2160, 3300), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().change_password(selected_rows(list2_)); }); });
        connect(list_button("Command7", tr("&Delete entry"), 3540, 3300), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().delete_accounts(selected_rows(list2_)); }); });
        connect(list_button("Command8", tr("&Add entry"), 4920, 3300), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().add_account(); }); });
        connect(list2_, &QListWidget::itemDoubleClicked, this,
                [this] { edit_list([this] { wizard_.lists().change_password(selected_rows(list2_)); }); });
        text3_->installEventFilter(this);
        connect(check3_, &QCheckBox::clicked, this, [this] { check_port(PortField::Socks); });
        break;
    }
    case 2: {
        add_row(panel, 300, tr("HTTPEnabled :"), kShort,
                check_box(check4_, "Check4", tr("HTTP Proxy server enabled")), kCheck, kCheckH, "Picture10");
        add_row(panel, 720, tr("HTTPPort :"), kShort, text_field(text5_, "Text5"), kField, kFieldH, "Picture5");
        add_row(panel, 1140, tr("HTTPSecure :"), kShort,
                check_box(check8_, "Check8", tr("SSL / TLS methods allowed")), kCheck, kCheckH, "Picture19");
        add_row(panel, 1560, tr("AdHostsEnabled :"), kLong,
                check_box(check5_, "Check5", tr("HTTP advertisement banner removal enabled")), kCheck, kCheckH,
                "Picture11");
        text5_->installEventFilter(this);
        connect(check4_, &QCheckBox::clicked, this, [this] { check_port(PortField::Http); });
        break;
    }
    case 3: {
        add_row(panel, 300, tr("DNSEnabled :"), kShort, check_box(check6_, "Check6", tr("DNS Proxy server enabled")),
                kCheck, kCheckH, "Picture16");
        add_row(panel, 720, tr("DNSServer1 :"), kShort, text_field(text6_, "Text6"), kField, kFieldH,
                "Picture12");
        add_row(panel, 1140, tr("DNSServer2 :"), kShort, text_field(text8_, "Text8"), kField, kFieldH, nullptr);
        break;
    }
    case 4: {
        add_row(panel, 300, tr("RDREnabled :"), kShort,
                check_box(check7_, "Check7", tr("Port redirector server enabled")), kCheck, kCheckH, "Picture17");
        add_row(panel, 720, tr("RDRBindings :"), kShort, list_box(list3_, "List3", true), kField, 2370,
                "Picture18");
        connect(list_button("Command10", tr("&Edit entry"), 2160, 3240), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().edit_redirection(selected_rows(list3_)); }); });
        connect(list_button("Command12", tr("&Delete entry"), 3540, 3240), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().delete_redirections(selected_rows(list3_)); }); });
        connect(list_button("Command11", tr("&Add entry"), 4920, 3240), &QPushButton::clicked, this,
                [this] { edit_list([this] { wizard_.lists().add_redirection(); }); });
        connect(list3_, &QListWidget::itemDoubleClicked, this,
                [this] { edit_list([this] { wizard_.lists().edit_redirection(selected_rows(list3_)); }); });
        break;
    }
    default:
        break;
    }
    return panel;
}

WizHelp *VBConfig::help_window() const { return help_.data(); }

void VBConfig::open() {
    wizard_.open();
    from_model();
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        const QSize outer(twips_to_pixels(wizard_geometry(kFrameWidth, kFrameHeight).width),
                          twips_to_pixels(wizard_geometry(kFrameWidth, kFrameHeight).height));
        move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
    }
}

void VBConfig::to_model() {
    ConfigModel &m = wizard_.model();
    m.text1 = text1_->text();
    m.text2 = text2_->text();
    m.text3 = text3_->text();
    m.text5 = text5_->text();
    m.text6 = text6_->text();
    m.text8 = text8_->text();
    m.check1 = check1_->isChecked();
    m.check3 = check3_->isChecked();
    m.check4 = check4_->isChecked();
    m.check5 = check5_->isChecked();
    m.check6 = check6_->isChecked();
    m.check7 = check7_->isChecked();
    m.check8 = check8_->isChecked();
    m.check9 = check9_->isChecked();
    for (const auto &[key, field] : more_texts_) m.more[key] = field->text();
    for (const auto &[key, box] : more_checks_)
        m.more[key] = box->isChecked() ? QStringLiteral("true") : QStringLiteral("false");
}

void VBConfig::from_model() {
    const ConfigModel &m = wizard_.model();
    text1_->setText(m.text1);
    text2_->setText(m.text2);
    text3_->setText(m.text3);
    text5_->setText(m.text5);
    text6_->setText(m.text6);
    text8_->setText(m.text8);
    check1_->setChecked(m.check1);
    check3_->setChecked(m.check3);
    check4_->setChecked(m.check4);
    check5_->setChecked(m.check5);
    check6_->setChecked(m.check6);
    check7_->setChecked(m.check7);
    check8_->setChecked(m.check8);
    check9_->setChecked(m.check9);
    for (const auto &[key, field] : more_texts_) field->setText(m.more.value(key));
    for (const auto &[key, box] : more_checks_) box->setChecked(m.more.value(key) == QLatin1String("true"));
    fill_list(list1_, m.list1);
    fill_list(list2_, m.list2);
    fill_list(list3_, m.list3);
    fill_list(list4_, m.list4);
    show_section();
}

void VBConfig::show_section() {
    for (int i = 0; i < kPanelCount; ++i) frames_[static_cast<size_t>(i)]->setVisible(i == wizard_.visible_panel());
    label14_->setText(wizard_.title());
    label15_->setText(wizard_.description());
}

template <class Op>
void VBConfig::edit_list(Op op) {
    op();
    const ConfigModel &m = wizard_.model();
    fill_list(list1_, m.list1);
    fill_list(list2_, m.list2);
    fill_list(list3_, m.list3);
    fill_list(list4_, m.list4);
}

void VBConfig::check_setting(const QString &key) {
    // As for the ports: the message box's focus change is no new edit.
    if (checking_port_) return;
    checking_port_ = true;
    to_model();
    wizard_.check_setting(key);
    checking_port_ = false;
}

void VBConfig::check_port(PortField field) {
    // A message box takes the focus from the field; that is not the user
    // leaving it, and must not check it again.
    if (checking_port_) return;
    checking_port_ = true;
    to_model();
    wizard_.check_port(field);
    QLineEdit *text = field == PortField::Socks ? text3_ : text5_;
    text->setText(field == PortField::Socks ? wizard_.model().text3 : wizard_.model().text5);
    checking_port_ = false;
}

bool VBConfig::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusOut && (watched == text3_ || watched == text5_)) {
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            check_port(watched == text3_ ? PortField::Socks : PortField::Http);
    } else if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete) {
        if (watched == list1_) {
            edit_list([this] { wizard_.lists().delete_allowed_hosts(selected_rows(list1_)); });
            return true;
        }
        if (watched == list2_) {
            edit_list([this] { wizard_.lists().delete_accounts(selected_rows(list2_)); });
            return true;
        }
        if (watched == list3_) {
            edit_list([this] { wizard_.lists().delete_redirections(selected_rows(list3_)); });
            return true;
        }
        if (watched == list4_) {
            edit_list([this] { wizard_.lists().delete_list_files(selected_rows(list4_)); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void VBConfig::show_help(const QString &icon) {
    const HelpTopic *topic = find_help_topic(icon);
    if (!topic) return;
    help_content_.fill(topic->item, topic->text, topic->page);
    const bool created = help_.isNull();
    if (created) help_ = new WizHelp(help_content_, this);
    help_->refill();
    if (created) {
        const QRect frame = frameGeometry();
        const int caption_px = frame.height() - height();
        const Position p = help_window_position(frame.left(), frame.top(), help_->width(),
                                                help_->height() + std::max(0, caption_px));
        help_->move(p.left, p.top);
    }
    help_->show();
    help_->raise();
}

void VBConfig::quit() {
    if (help_) help_->close();
    close();
}

void VBConfig::closeEvent(QCloseEvent *event) {
    // The close box ends the program at once, without a question.
    if (help_) help_->close();
    event->accept();
}

}  // namespace kel::wizard
