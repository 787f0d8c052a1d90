#include "wizhelp.h"

#include <QFrame>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>

namespace kel::wizard {
namespace {

constexpr int kHelpWidth = 6135;
constexpr int kTextLeft = 180, kTextWidth = 5700;

QRect twips_rect(int x, int y, int w, int h) {
    return QRect(twips_to_pixels(x), twips_to_pixels(y), twips_to_pixels(w), twips_to_pixels(h));
}

}  // namespace

LinkLabel::LinkLabel(const QString &text, QWidget *parent) : QLabel(text, parent) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(p);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(event);
}

WizHelp::WizHelp(HelpContent &content, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), content_(content) {
    setObjectName(QStringLiteral("WizHelp"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Valdrin Proxy Sercer - Configuration Wizard"));
    QFont dialog_font = font();
    dialog_font.setPointSize(8);
    setFont(dialog_font);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(255, 255, 192));
    setPalette(p);
    setAutoFillBackground(true);

    label1_ = new QLabel(this);
    label1_->setObjectName(QStringLiteral("Label1"));
    QFont big = label1_->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.5);
    label1_->setFont(big);
    label1_->setGeometry(twips_rect(60, 30, 3315 + 2000, 495));

    auto *rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(twips_rect(0, 480 - 15, kHelpWidth, 30));

    label2_ = new QLabel(this);
    label2_->setObjectName(QStringLiteral("Label2"));
    label2_->setWordWrap(true);
    label2_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    label3_ = new LinkLabel(tr("Users' Guide"), this);
    label3_->setObjectName(QStringLiteral("Label3"));
    label4_ = new LinkLabel(tr("Configuration Tutorials"), this);
    label4_->setObjectName(QStringLiteral("Label4"));
    command1_ = new QPushButton(tr("&Dismiss"), this);
    command1_->setObjectName(QStringLiteral("Command1"));

    connect(command1_, &QPushButton::clicked, this, &QWidget::hide);
    connect(label3_, &LinkLabel::clicked, this, [this] { content_.open_guide(); });
    connect(label4_, &LinkLabel::clicked, this, [this] { content_.open_tutorials(); });
}

void WizHelp::refill() {
    label1_->setText(content_.title());
    label2_->setText(content_.body());
    const int text_px = label2_->heightForWidth(twips_to_pixels(kTextWidth));
    const int text_twips = std::max(text_px, 1) * 15;
    const HelpLayout layout = help_layout(text_twips);
    label2_->setGeometry(twips_rect(kTextLeft, kHelpTextTop, kTextWidth, text_twips));
    command1_->setGeometry(twips_rect(4440, layout.dismiss_top, 1575, 315));
    label3_->setGeometry(twips_rect(180, layout.links_top, 1095 + 300, 195 + 60));
    label4_->setGeometry(twips_rect(1500, layout.links_top, 1935 + 300, 195 + 60));
    setFixedSize(twips_to_pixels(kHelpWidth), twips_to_pixels(layout.window_height - 360));
}

}  // namespace kel::wizard
