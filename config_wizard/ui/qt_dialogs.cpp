#include "qt_dialogs.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

namespace kel::wizard {

QString QtPrompter::ask(const QString &text, const QString &caption, const QString &default_text, Echo echo) {
    QInputDialog dialog(parent_);
    dialog.setObjectName(QStringLiteral("PromptBox"));
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(caption);
    dialog.setLabelText(text);
    dialog.setTextValue(default_text);
    dialog.setTextEchoMode(echo == Echo::Password ? QLineEdit::Password : QLineEdit::Normal);
    if (dialog.exec() != QDialog::Accepted) return QString();
    return dialog.textValue();
}

Answer QtMessageBoxes::show(const QString &text, const QString &caption, Icon icon, Buttons buttons,
                            Answer default_button) {
    QMessageBox box(parent_);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setWindowTitle(caption.isEmpty() ? QCoreApplication::applicationName() : caption);
    box.setText(text);
    switch (icon) {
    case Icon::Critical: box.setIcon(QMessageBox::Critical); break;
    case Icon::Question: box.setIcon(QMessageBox::Question); break;
    case Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    }
    if (buttons == Buttons::Ok) {
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return Answer::Ok;
    }
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(default_button == Answer::No ? QMessageBox::No : QMessageBox::Yes);
    // Closing the box by its frame counts as No, never as Yes.
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

void DesktopUrlOpener::open_file(const QString &path) {
    // Like the shell's "open": the answer is not checked.
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace kel::wizard
